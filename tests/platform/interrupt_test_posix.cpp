// The interrupt signal on Linux: a handler for it that was installed before
// the platform layer's own is still called, and a thread blocked in a call
// that the kernel restarts after a handler asking for restart is broken off
// all the same.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

#include "platform/alertable.h"

namespace platform {
namespace {

std::atomic<int> gEarlierHandlerCalls{0};

void EarlierHandler(int) { ++gEarlierHandlerCalls; }

// Installed as the program starts, with SA_RESTART, before the platform layer
// installs its own (static initialisers run in link order: this test's
// objects come before the library's).
const bool gEarlierInstalled = [] {
  struct sigaction action {};
  action.sa_handler = EarlierHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return sigaction(SIGURG, &action, nullptr) == 0;
}();

struct sBlockedRead {
  int fd = -1;
  ssize_t result = 0;
  int error = 0;
};

void ReadEmptyPipe(void* p) {
  auto* read = static_cast<sBlockedRead*>(p);
  char byte;
  read->result = ::read(read->fd, &byte, 1);
  read->error = errno;
}

TEST(Interrupt, AHandlerInstalledBeforeOursIsCalledAndTheCallIsBrokenOffAllTheSame) {
  ASSERT_TRUE(gEarlierInstalled);
  struct sigaction current {};
  ASSERT_EQ(sigaction(SIGURG, nullptr, &current), 0);
  ASSERT_NE(reinterpret_cast<void*>(current.sa_handler), reinterpret_cast<void*>(&EarlierHandler))
      << "the platform layer did not install its handler at start-up, after this one";
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  sBlockedRead blocked{fds[0]};
  cThread thread;
  ASSERT_TRUE(thread.Start(ReadEmptyPipe, &blocked, eInterrupts::Accepted));
  bool ended = false;
  for (int i = 0; i < 20 && !ended; ++i) {  // 2 s at most; one interrupt may land before the read
    thread.Interrupt();
    ended = thread.Join(100);
  }
  if (!ended) (void)!write(fds[1], "x", 1);  // let it go before failing
  EXPECT_TRUE(ended);
  EXPECT_TRUE(thread.Join(5000));
  EXPECT_EQ(blocked.result, -1);
  EXPECT_EQ(blocked.error, EINTR);
  EXPECT_GE(gEarlierHandlerCalls.load(), 1);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace platform
