// The trace's notes on standard error while a status line is on the
// terminal: they take the console's way, so the status line is erased
// before a note and drawn again after it, never cut into.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "framing/traffic_trace.h"
#include "platform/console.h"
#include "tests/pseudo_terminal_posix.h"
#include "trace_notes.h"

namespace {

namespace fs = std::filesystem;

class TraceNoteOnTerminal : public testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/zntv-trace-note-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    ASSERT_TRUE(terminal_.Start());
  }

  void TearDown() override {
    platform::ConsoleEndStatus();
    fs::remove_all(folder_);
  }

  std::string Shown() { return terminal_.Shown(); }

  fs::path folder_;
  test_support::cStandardErrorOnTerminal terminal_;
};

// A queue too small for any line: every line is left out, and the end of the
// trace says so on standard error.
TEST_F(TraceNoteOnTerminal, ANoteErasesTheStatusLineAndItIsDrawnAgainAfter) {
  ASSERT_EQ(platform::ConsoleStatusStyle(), platform::eStatusStyle::Redrawn);
  const fs::path path = folder_ / "trace.txt";
  auto trace = cTrafficTrace::Open(platform::cOutputFile::AtPath(path.string()), "test", NotesToStandardError(), 1);
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
