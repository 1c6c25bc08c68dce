// Windows stop requests: one console control handler for Ctrl+C, Ctrl+Break
// and the console window's close, which the system runs on a thread of its
// own, acting on what the main thread last decided. Console lines are
// printed as any thread prints them.
#include <windows.h>

#include <atomic>
#include <string>

#include "platform/console.h"
#include "platform/stop_requests.h"
#include "text/printable_text.h"

namespace platform {

namespace {

enum eStopRule : int { eStopAtOnce, eStopFinishFirst, eStopPassOn };

std::atomic<int> gRule{eStopAtOnce};
std::atomic<unsigned> gRequests{0};
// Made ready before gRule becomes eStopFinishFirst; never freed.
const std::wstring* gPort = nullptr;

[[noreturn]] void EndNow() {
  TerminateProcess(GetCurrentProcess(), kStoppedExitStatus);
  ExitProcess(kStoppedExitStatus);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  switch (gRule.load(std::memory_order_acquire)) {
    case eStopPassOn:  // the instances share the console and get the event themselves
      break;
    case eStopFinishFirst:
      if (gRequests.fetch_add(1) != 0) {
        ConsolePrint(L"Download failed\n");
        EndNow();
      }
      ConsoleExplain(L"zntv-upgrade: the upgrade of %ls is finishing; a second interrupt abandons it\n",
                     gPort->c_str());
      break;
    default:
      EndNow();
  }
  // The system ends the process as soon as the handler of a close returns;
  // waiting here keeps the run going until the system's own time limit.
  if (event == CTRL_CLOSE_EVENT) Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void TakeStopRequests() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

void FinishBeforeStopping(const std::wstring& portName) {
  if (gRule.load() != eStopAtOnce) return;
  gPort = new std::wstring(text::PrintableText(portName));
  gRule.store(eStopFinishFirst, std::memory_order_release);
}

void PassStopRequestsOn() { gRule.store(eStopPassOn, std::memory_order_release); }

}  // namespace platform
