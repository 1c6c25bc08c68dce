// The scripted module's reader thread and its records.
#include "fake_module.h"

#include <algorithm>

LineBytes EchoReply(const LineBytes& burst, size_t) { return burst; }

ReplyRule AnswerOnly(uint8_t code) {
  return [code](const LineBytes& burst, size_t) { return burst.back() == code ? LineBytes{code} : LineBytes{}; };
}

cFakeModule::cFakeModule() : reader_([this] { Run(); }) {}

cFakeModule::~cFakeModule() { Stop(); }

void cFakeModule::Stop() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  line_.Interrupt();
  if (reader_.joinable()) reader_.join();
}

void cFakeModule::SetRule(ReplyRule rule) {
  std::lock_guard guard(lock_);
  rule_ = std::move(rule);
}

void cFakeModule::Pause() {
  {
    std::lock_guard guard(lock_);
    paused_ = true;
  }
  line_.Interrupt();
}

void cFakeModule::Resume() {
  {
    std::lock_guard guard(lock_);
    paused_ = false;
  }
  changed_.notify_all();
}

void cFakeModule::PauseAfter(size_t bursts) {
  std::lock_guard guard(lock_);
  pauseAfter_ = bursts;
}

bool cFakeModule::Send(const LineBytes& bytes) { return line_.Write(bytes); }

void cFakeModule::HangUp() {
  Stop();
  line_.HangUp();
}

void cFakeModule::Run() {
  std::vector<uint8_t> buffer(65536);
  for (;;) {
    {
      std::unique_lock guard(lock_);
      changed_.wait(guard, [this] { return stopping_ || !paused_; });
      if (stopping_) return;
    }
    const long n = line_.Read(buffer.data(), buffer.size());
    if (n < 0) return;
    if (n == 0) continue;  // interrupted: pause or stop
    LineBytes burst(buffer.begin(), buffer.begin() + n);
    LineBytes reply;
    {
      std::lock_guard guard(lock_);
      if (!marker_.empty()) {
        burst = PastMarker(burst);
        if (burst.empty()) continue;
      }
      if (rule_) reply = rule_(burst, bursts_.size());
      totalBytes_ += burst.size();
      bursts_.push_back({Clock::now(), std::move(burst)});
      if (bursts_.size() == pauseAfter_) paused_ = true;
    }
    changed_.notify_all();
    if (!reply.empty()) line_.Write(reply);
  }
}

void cFakeModule::DropUntil(const LineBytes& marker) {
  std::lock_guard guard(lock_);
  marker_ = marker;
  beforeMarker_.clear();
}

LineBytes cFakeModule::PastMarker(const LineBytes& burst) {
  beforeMarker_.insert(beforeMarker_.end(), burst.begin(), burst.end());
  const auto found = std::search(beforeMarker_.begin(), beforeMarker_.end(), marker_.begin(), marker_.end());
  if (found == beforeMarker_.end()) return {};
  LineBytes rest(found + static_cast<std::ptrdiff_t>(marker_.size()), beforeMarker_.end());
  marker_.clear();
  beforeMarker_.clear();
  changed_.notify_all();
  return rest;
}

bool cFakeModule::WaitForMarker(std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  return changed_.wait_until(guard, Clock::now() + timeout, [&] { return marker_.empty(); });
}

std::vector<sBurst> cFakeModule::Bursts() {
  std::lock_guard guard(lock_);
  return bursts_;
}

LineBytes cFakeModule::AllBytes() {
  std::lock_guard guard(lock_);
  LineBytes all;
  for (const sBurst& burst : bursts_) all.insert(all.end(), burst.bytes.begin(), burst.bytes.end());
  return all;
}

bool cFakeModule::WaitForBursts(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  return changed_.wait_until(guard, Clock::now() + timeout, [&] { return bursts_.size() >= count; });
}

bool cFakeModule::WaitForBytes(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  return changed_.wait_until(guard, Clock::now() + timeout, [&] { return totalBytes_ >= count; });
}
