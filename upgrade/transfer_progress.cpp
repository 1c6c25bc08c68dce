// The progress status line of a long transfer: its text and its pace.
#include "upgrade/transfer_progress.h"

#include <algorithm>
#include <cwchar>
#include <utility>

#include "platform/clock.h"

namespace {

struct sUnit {
  double bytes;
  const wchar_t* name;
};

// Sizes and rates in the unit that suits the total: kB below a megabyte.
sUnit UnitFor(uint64_t totalBytes) { return totalBytes < 1000000 ? sUnit{1e3, L"kB"} : sUnit{1e6, L"MB"}; }

std::wstring Format(const wchar_t* format, auto... args) {
  wchar_t text[160];
  const int n = std::swprintf(text, sizeof text / sizeof text[0], format, args...);
  return n > 0 ? std::wstring(text, static_cast<size_t>(n)) : std::wstring();
}

std::wstring Duration(uint64_t seconds) {
  if (seconds >= 3600) {
    return Format(L"%u:%02u:%02u", static_cast<unsigned>(seconds / 3600), static_cast<unsigned>(seconds / 60 % 60),
                  static_cast<unsigned>(seconds % 60));
  }
  return Format(L"%u:%02u", static_cast<unsigned>(seconds / 60), static_cast<unsigned>(seconds % 60));
}

}  // namespace

cTransferMeter::cTransferMeter(std::wstring what, uint64_t totalBytes, platform::eStatusStyle style, uint32_t startMs)
    : what_(std::move(what)), total_(totalBytes), style_(style), startMs_(startMs) {}

std::optional<std::wstring> cTransferMeter::Update(uint64_t doneBytes, uint32_t nowMs) {
  if (style_ == platform::eStatusStyle::None) return std::nullopt;
  const uint64_t done = std::min(doneBytes, total_);
  const auto percent = static_cast<uint32_t>(total_ == 0 ? 100 : done * 100 / total_);
  const bool plain = style_ == platform::eStatusStyle::PlainLines;
  const uint32_t every = plain ? kPlainLineEveryMs : kRedrawnEveryMs;
  // Unsigned differences, so that a wrapping tick still measures right.
  if (lastShownMs_ && nowMs - *lastShownMs_ < every) return std::nullopt;
  if (plain && lastPercent_ == percent) return std::nullopt;
  lastShownMs_ = nowMs;
  lastPercent_ = percent;
  if (plain) return Format(L"%ls: %u%%", what_.c_str(), percent);
  return RedrawnLine(done, nowMs, percent);
}

std::wstring cTransferMeter::RedrawnLine(uint64_t done, uint32_t nowMs, uint32_t percent) const {
  const sUnit unit = UnitFor(total_);
  std::wstring line = Format(L"%ls: %.2f of %.2f %ls, %u%%", what_.c_str(), static_cast<double>(done) / unit.bytes,
                             static_cast<double>(total_) / unit.bytes, unit.name, percent);
  const uint32_t elapsedMs = nowMs - startMs_;
  if (done == 0 || elapsedMs == 0) return line;
  const double bytesPerS = static_cast<double>(done) * 1000.0 / elapsedMs;
  const auto secondsLeft = static_cast<uint64_t>(static_cast<double>(total_ - done) / bytesPerS + 0.5);
  return line + Format(L", %.2f %ls/s, %ls left", bytesPerS / unit.bytes, unit.name, Duration(secondsLeft).c_str());
}

cTransferProgress::cTransferProgress(std::wstring what, uint64_t totalBytes) {
  const platform::eStatusStyle style = platform::ConsoleStatusStyle();
  if (style != platform::eStatusStyle::None)
    meter_.emplace(std::move(what), totalBytes, style, platform::GetTickCount32());
}

cTransferProgress::~cTransferProgress() {
  if (meter_) platform::ConsoleEndStatus();
}

void cTransferProgress::Advance(uint64_t doneBytes) {
  if (!meter_) return;
  if (std::optional<std::wstring> line = meter_->Update(doneBytes, platform::GetTickCount32())) {
    platform::ConsoleShowStatus(*line);
  }
}
