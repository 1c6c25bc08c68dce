// Linux stop requests: one handler for SIGINT, SIGTERM and SIGHUP that acts
// on what the main thread last decided (end at once, finish first, or pass
// the request on to the instances' process group). The handler runs on
// whichever thread the signal meets, so it only reads atomics and text made
// ready before them, and uses write() and _exit().
#include "platform/stop_requests.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <string>

#include "platform/console.h"
#include "platform/stop_requests_posix.h"
#include "text/printable_text.h"
#include "text/utf8.h"

namespace platform {

namespace {

enum eStopRule : int { eStopAtOnce, eStopFinishFirst, eStopPassOn };

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr char kAbandoned[] = "Download failed\n";
// Erases a status line that standard error may show, before a line.
constexpr char kEraseStatus[] = "\r\x1b[K";

std::atomic<int> gRule{eStopAtOnce};
std::atomic<unsigned> gRequests{0};
std::atomic<pid_t> gRecipients{0};
// The stop-request wake pipe: read end, write end.
std::atomic<int> gWakeRead{-1};
std::atomic<int> gWakeWrite{-1};
// Made ready before gRule becomes eStopFinishFirst; never freed, since a
// signal may come while the process exits.
const std::string* gNotice = nullptr;
bool gEraseStatus = false;

// What fits in one write is all a stop request says; a console that cannot
// take it loses it.
void Say(int fd, const char* text, size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text += written;
    length -= static_cast<size_t>(written);
  }
}

void Abandon() {
  if (gEraseStatus) Say(STDERR_FILENO, kEraseStatus, sizeof kEraseStatus - 1);
  Say(STDOUT_FILENO, kAbandoned, sizeof kAbandoned - 1);
  _exit(kStoppedExitStatus);
}

void OnStopRequest(int signal) {
  const int savedErrno = errno;
  switch (gRule.load(std::memory_order_acquire)) {
    case eStopPassOn:
      if (const pid_t group = gRecipients.load(); group > 0) kill(-group, signal);
      if (const int wake = gWakeWrite.load(); wake >= 0) (void)!write(wake, "s", 1);
      break;
    case eStopFinishFirst:
      if (gRequests.fetch_add(1) != 0) Abandon();
      Say(STDERR_FILENO, gNotice->data(), gNotice->size());
      break;
    default:
      _exit(kStoppedExitStatus);
  }
  errno = savedErrno;
}

// Opens the null device on each of standard input, output and error that is
// closed: the lowest free number is the one the open takes.
void KeepStandardStreamsOpen() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) close(opened);
  }
}

void Catch(int signal) {
  struct sigaction previous {};
  if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = OnStopRequest;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signal, &action, nullptr);
}

}  // namespace

void TakeStopRequests() {
  KeepStandardStreamsOpen();
  signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (const int stopSignal : kStopSignals) {
    Catch(stopSignal);
    sigaddset(&stopSignals, stopSignal);
  }
  // A parent may have started the program with them blocked.
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
}

void FinishBeforeStopping(const std::wstring& portName) {
  if (gRule.load() != eStopAtOnce) return;
  gEraseStatus = ConsoleStatusStyle() == eStatusStyle::Redrawn;
  gNotice = new std::string((gEraseStatus ? kEraseStatus : "") + std::string("zntv-upgrade: the upgrade of ") +
                            text::WideToUtf8(text::PrintableText(portName)) +
                            " is finishing; a second interrupt abandons it\n");
  gRule.store(eStopFinishFirst, std::memory_order_release);
}

void PassStopRequestsOn() {
  std::array<int, 2> wake{-1, -1};
  if (gWakeRead.load() < 0 && pipe2(wake.data(), O_CLOEXEC | O_NONBLOCK) == 0) {
    gWakeRead.store(wake[0]);
    gWakeWrite.store(wake[1]);
  }
  gRule.store(eStopPassOn, std::memory_order_release);
}

int StopRequestWakeFd() { return gWakeRead.load(); }

void SetStopRecipients(pid_t group) { gRecipients.store(group); }

}  // namespace platform
