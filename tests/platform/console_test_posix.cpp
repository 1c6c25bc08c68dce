// The status line on a terminal: standard error on a pseudo-terminal for the
// length of each test, and the exact bytes the terminal gets around the
// console lines.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/console.h"
#include "platform/handle.h"
#include "tests/pseudo_terminal_posix.h"

namespace platform {
namespace {

class StatusOnTerminal : public testing::Test {
 protected:
  void SetUp() override {
    std::string slavePath;
    master_ = test_support::OpenPseudoTerminal(slavePath);
    ASSERT_TRUE(master_.IsValid());
    const cHandle slave(open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(slave.IsValid());
    termios raw{};
    ASSERT_EQ(tcgetattr(slave.Get(), &raw), 0);
    cfmakeraw(&raw);  // the bytes as written, without newline translation
    ASSERT_EQ(tcsetattr(slave.Get(), TCSANOW, &raw), 0);
    std::fflush(stderr);
    savedError_ = cHandle(dup(STDERR_FILENO));
    ASSERT_EQ(dup2(slave.Get(), STDERR_FILENO), STDERR_FILENO);
    ASSERT_EQ(setenv("TERM", "xterm", 1), 0);
    ASSERT_EQ(unsetenv("ZNTV_NO_PROGRESS"), 0);
  }

  void TearDown() override {
    ConsoleEndStatus();
    std::fflush(stderr);
    dup2(savedError_.Get(), STDERR_FILENO);
    unsetenv("ZNTV_NO_PROGRESS");
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

  cHandle master_;
  cHandle savedError_;
};

TEST_F(StatusOnTerminal, ErasedBeforeEachLineRedrawnAfterAndErasedForGoodAtTheEnd) {
  ASSERT_EQ(ConsoleStatusStyle(), eStatusStyle::Redrawn);
  testing::internal::CaptureStdout();
  ConsoleShowStatus(L"SDL write: 10%");
  ConsolePrint(L"Sent SDL write request (0x%08X, %u)\n", 0x200000u, 4096u);
  ConsoleShowStatus(L"SDL write: 20%");
  ConsoleExplain(L"zntv-upgrade: %ls\n", L"a note");
  ConsoleEndStatus();
  ConsolePrint(L"Sending SDL reset request\n");
  ConsoleExplain(L"after\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Sent SDL write request (0x00200000, 4096)\nSending SDL reset request\n");
  EXPECT_EQ(Shown(),
            "SDL write: 10%\r\x1b[K"  // drawn, erased for the line on standard output
            "SDL write: 10%\r\x1b[K"  // drawn again below it, erased for the new text
            "SDL write: 20%\r\x1b[K"  // erased for a line on standard error
            "zntv-upgrade: a note\n"
            "SDL write: 20%\r\x1b[K"  // drawn again, erased for good
            "after\n");
}

TEST_F(StatusOnTerminal, ADumbTerminalGetsEachTextAsALineOfItsOwn) {
  ASSERT_EQ(setenv("TERM", "dumb", 1), 0);
  ASSERT_EQ(ConsoleStatusStyle(), eStatusStyle::PlainLines);
  ConsoleShowStatus(L"SDL write: 10%");
  ConsoleExplain(L"note\n");
  ConsoleShowStatus(L"SDL write: 20%");
  ConsoleEndStatus();
  EXPECT_EQ(Shown(), "SDL write: 10%\nnote\nSDL write: 20%\n");
}

TEST_F(StatusOnTerminal, TurnedOffByTheEnvironment) {
  ASSERT_EQ(setenv("ZNTV_NO_PROGRESS", "", 1), 0);
  EXPECT_EQ(ConsoleStatusStyle(), eStatusStyle::None);
  ConsoleShowStatus(L"SDL write: 10%");
  ConsoleExplain(L"note\n");
  ConsoleEndStatus();
  EXPECT_EQ(Shown(), "note\n");
}

TEST(StatusNotOnATerminal, APipeGetsNoStatusLine) {
  int pipeEnds[2];
  ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
  const cHandle reader(pipeEnds[0]);
  cHandle writer(pipeEnds[1]);
  std::fflush(stderr);
  const cHandle savedError(dup(STDERR_FILENO));
  ASSERT_EQ(dup2(writer.Get(), STDERR_FILENO), STDERR_FILENO);
  writer.Close();
  const eStatusStyle style = ConsoleStatusStyle();
  ConsoleShowStatus(L"SDL write: 10%");
  ConsoleExplain(L"note\n");
  ConsoleEndStatus();
  std::fflush(stderr);
  dup2(savedError.Get(), STDERR_FILENO);
  EXPECT_EQ(style, eStatusStyle::None);
  char got[64] = {};
  EXPECT_EQ(read(reader.Get(), got, sizeof got), 5);
  EXPECT_STREQ(got, "note\n");
}

}  // namespace
}  // namespace platform
