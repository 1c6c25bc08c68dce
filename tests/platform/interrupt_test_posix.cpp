// The interrupt signal on Linux: a handler for it that was installed before
// the platform layer's own is still called, and a thread blocked in a call
// that the kernel restarts after a handler asking for restart is broken off
// all the same. What an abandoned port call opened is closed, and stray
// signals sent to the whole process cost no console line.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/alertable.h"
#include "platform/console.h"
#include "platform/handle.h"

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

// An open of a FIFO waits for a writer: a port open that a driver holds up.
struct sHeldOpen {
  std::string path;
};

void OpenInPortCall(void* p) {
  const char* const path = static_cast<sHeldOpen*>(p)->path.c_str();
  InPortCall([path] { return ::open(path, O_RDONLY | O_CLOEXEC); },
             [](int opened) {
               if (opened >= 0) ::close(opened);
             });
}

// How many descriptors of this process name path.
int DescriptorsOf(const std::filesystem::path& path) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == path) ++count;
  }
  return count;
}

TEST(AbandonedPortCall, WhatAnOpenReturnsAfterItsThreadWasAbandonedIsClosed) {
  char folder[] = "/tmp/zntv-abandoned-open-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::filesystem::path fifo = std::filesystem::path(folder) / "port";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  sHeldOpen held{fifo.string()};
  cThread thread;
  ASSERT_TRUE(thread.Start(OpenInPortCall, &held));
  bool abandoned = false;
  for (int i = 0; i < 500 && !abandoned; ++i) {  // 5 s at most for the thread to reach its open
    abandoned = thread.AbandonInPortCall();
    if (!abandoned) thread.Join(10);
  }
  const cHandle writer(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));  // the open returns now
  EXPECT_TRUE(abandoned);
  ASSERT_TRUE(writer.IsValid());
  EXPECT_TRUE(thread.Join(5000));
  EXPECT_EQ(DescriptorsOf(fifo), 1) << "only the test's own writer";
  std::filesystem::remove_all(folder);
}

// Standard output is a full pipe read slowly, and the process gets a stray
// interrupt signal every 5 ms while the main thread prints: every line
// arrives, whole and in order.
TEST(StrayInterrupts, CostNoConsoleLineWhileStandardOutputIsAFullPipe) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  const cHandle readEnd(ends[0]);
  cHandle writeEnd(ends[1]);
  ASSERT_EQ(fcntl(writeEnd.Get(), F_SETPIPE_SZ, 4096), 4096);
  std::string expected;
  for (int i = 0; i < 2000; ++i) expected += "line " + std::to_string(i) + " of the stray-signal check\n";
  std::string got;
  std::thread reader([&] {
    char chunk[256];
    ssize_t n;
    while ((n = read(readEnd.Get(), chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
      if (n > 0) got.append(chunk, static_cast<size_t>(n));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a slow reader keeps the pipe full
    }
  });
  std::atomic<bool> printing{true};
  std::atomic<int> sent{0};
  std::thread sender([&] {
    while (printing) {
      kill(getpid(), SIGURG);
      ++sent;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const cHandle savedOutput(dup(STDOUT_FILENO));
  ASSERT_EQ(dup2(writeEnd.Get(), STDOUT_FILENO), STDOUT_FILENO);
  writeEnd.Close();
  for (int i = 0; i < 2000; ++i) ConsolePrint(L"line %d of the stray-signal check\n", i);
  printing = false;
  sender.join();
  dup2(savedOutput.Get(), STDOUT_FILENO);  // the last write end: the reader sees the end
  reader.join();
  EXPECT_GE(sent.load(), 20);
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected) << "lines lost or cut";
}

}  // namespace
}  // namespace platform
