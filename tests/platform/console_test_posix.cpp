// The status line on a terminal: standard error on a pseudo-terminal for the
// length of each test, and the exact bytes the terminal gets around the
// console lines.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/console.h"
#include "tests/pseudo_terminal_posix.h"

namespace platform {
namespace {

class StatusOnTerminal : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(terminal_.Start()); }
  void TearDown() override { ConsoleEndStatus(); }

  std::string Shown() { return terminal_.Shown(); }

  test_support::cStandardErrorOnTerminal terminal_;
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

// One line per module under --all: every line is erased before a console
// line, from the last one up, and all are drawn again after it.
TEST_F(StatusOnTerminal, SeveralStatusLinesAreErasedFromTheLastUp) {
  ASSERT_EQ(ConsoleStatusStyle(), eStatusStyle::Redrawn);
  ConsoleShowStatus(L"ttyUSB0: 10%\nttyUSB1: 5%");
  ConsoleExplain(L"note\n");
  ConsoleShowStatus(L"ttyUSB0: 20%");
  ConsoleEndStatus();
  EXPECT_EQ(Shown(),
            "ttyUSB0: 10%\nttyUSB1: 5%\r\x1b[K\x1b[A\x1b[K"  // drawn, erased for the line
            "note\n"
            "ttyUSB0: 10%\nttyUSB1: 5%\r\x1b[K\x1b[A\x1b[K"  // drawn again, erased for the new text
            "ttyUSB0: 20%\r\x1b[K");
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
