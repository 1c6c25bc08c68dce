// The trace's notes on standard error while a status line is on the
// terminal: they take the console's way, so the status line is erased
// before a note and drawn again after it, never cut into.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "device/hdlc/traffic_trace.h"
#include "platform/console.h"
#include "platform/handle.h"
#include "tests/pseudo_terminal_posix.h"

namespace {

namespace fs = std::filesystem;

class TraceNoteOnTerminal : public testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/zntv-trace-note-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    std::string slavePath;
    master_ = test_support::OpenPseudoTerminal(slavePath);
    ASSERT_TRUE(master_.IsValid());
    const platform::cHandle slave(open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(slave.IsValid());
    termios raw{};
    ASSERT_EQ(tcgetattr(slave.Get(), &raw), 0);
    cfmakeraw(&raw);  // the bytes as written, without newline translation
    ASSERT_EQ(tcsetattr(slave.Get(), TCSANOW, &raw), 0);
    std::fflush(stderr);
    savedError_ = platform::cHandle(dup(STDERR_FILENO));
    ASSERT_EQ(dup2(slave.Get(), STDERR_FILENO), STDERR_FILENO);
    ASSERT_EQ(setenv("TERM", "xterm", 1), 0);
    ASSERT_EQ(unsetenv("ZNTV_NO_PROGRESS"), 0);
  }

  void TearDown() override {
    platform::ConsoleEndStatus();
    if (savedError_.IsValid()) dup2(savedError_.Get(), STDERR_FILENO);
    fs::remove_all(folder_);
  }

  // Everything the terminal has received so far.
  std::string Shown() {
    std::string got;
    pollfd fd{master_.Get(), POLLIN, 0};
    while (poll(&fd, 1, 100) == 1) {
      char chunk[4096];
      const ssize_t n = read(master_.Get(), chunk, sizeof chunk);
      if (n <= 0) break;
      got.append(chunk, static_cast<size_t>(n));
    }
    return got;
  }

  fs::path folder_;
  platform::cHandle master_;
  platform::cHandle savedError_;
};

// A queue too small for any line: every line is left out, and the end of the
// trace says so on standard error.
TEST_F(TraceNoteOnTerminal, ANoteErasesTheStatusLineAndItIsDrawnAgainAfter) {
  ASSERT_EQ(platform::ConsoleStatusStyle(), platform::eStatusStyle::Redrawn);
  const fs::path path = folder_ / "trace.txt";
  auto trace = cTrafficTrace::Open(platform::cOutputFile::AtPath(path.string()), "test", 1);
  ASSERT_NE(trace, nullptr);
  const uint8_t packet[] = {0x0E, 0x01};
  trace->Frame(eTraceDirection::Sent, "SDL", packet, sizeof packet);
  platform::ConsoleShowStatus(L"SDL write: 10%");
  trace.reset();
  EXPECT_EQ(Shown(),
            "SDL write: 10%\r\x1b[K"
            "test: the traffic trace to " +
                path.string() +
                " left out 2 lines: the file did not keep up\n"
                "SDL write: 10%");
}

}  // namespace
