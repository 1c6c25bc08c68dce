// The console's lines and status line, made from a run's events.
#include "upgrade/console_view.h"

#include <variant>

#include "platform/console.h"

namespace {

// The transfers that get a status line, by name: the image's streaming. The
// programmer's load is over in a blink and never had one.
const wchar_t* StatusLineName(report::eStage stage) { return stage == report::eStage::Sdl ? L"SDL write" : nullptr; }

}  // namespace

cConsoleView::~cConsoleView() { EndTransfer(); }

void cConsoleView::Report(const report::Event& event) {
  std::visit([this](const auto& shown) { Show(shown); }, event);
}

void cConsoleView::Show(const report::sLine& line) {
  if (transferOver_) EndTransfer();
  platform::ConsolePrint(L"%ls\n", line.text.c_str());
}

void cConsoleView::Show(const report::sNote& note) { platform::ConsoleExplain(L"%ls\n", note.text.c_str()); }

void cConsoleView::Show(const report::sPort&) {}

void cConsoleView::Show(const report::sProgress& progress) {
  const wchar_t* name = StatusLineName(progress.stage);
  if (name == nullptr) return;
  if (!transfer_ || transferOver_) {
    EndTransfer();
    transfer_.emplace(name, progress.total);
    // The start, with nothing acknowledged yet, starts the clock only.
    if (progress.acknowledged == 0) return;
  }
  transfer_->Advance(progress.acknowledged);
  transferOver_ = progress.acknowledged >= progress.total;
}

void cConsoleView::Show(const report::sFailure&) {
  if (transfer_) transferOver_ = true;
}

void cConsoleView::Show(const report::sOutcome&) { EndTransfer(); }

void cConsoleView::EndTransfer() {
  transfer_.reset();
  transferOver_ = false;
}
