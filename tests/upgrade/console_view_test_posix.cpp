// The console view of a run's events with standard error on a terminal: the
// lines on standard output as they were reported, the notes on standard
// error, and the image's status line drawn from the progress events, kept
// while the stream goes on and erased before the first line after it.
#include "upgrade/console_view.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/console.h"
#include "tests/pseudo_terminal_posix.h"
#include "tests/setup_required.h"

namespace {

using report::eStage;

const std::string kErase = "\r\x1b[K";

// What the terminal showed, with each copy of the status line first drawn
// (the text before the first erase) written as "<status>"; status receives
// that line, whose rate and time left vary.
std::string WithStatusLineNamed(std::string shown, std::string& status) {
  status = shown.substr(0, shown.find(kErase));
  if (status.empty()) return shown;
  for (size_t at = shown.find(status); at != std::string::npos; at = shown.find(status, at + 1)) {
    shown.replace(at, status.size(), "<status>");
  }
  return shown;
}

class ConsoleViewOnTerminal : public testing::Test {
 protected:
  void SetUp() override { ZNTV_REQUIRE_SETUP(terminal_.Start(), "no pseudo-terminal for standard error"); }
  void TearDown() override { platform::ConsoleEndStatus(); }

  // What the events print on standard output; the terminal keeps the rest.
  static std::string OutputOf(std::initializer_list<report::Event> events) {
    testing::internal::CaptureStdout();
    {
      cConsoleView view;
      for (const report::Event& event : events) view.Report(event);
    }
    return testing::internal::GetCapturedStdout();
  }

  test_support::cStandardErrorOnTerminal terminal_;
};

TEST_F(ConsoleViewOnTerminal, TheStatusLineStaysForNotesAndGoesBeforeTheLineAfterTheStream) {
  const std::string output = OutputOf({
      report::sProgress{eStage::Sdl, 0, 1000},
      report::sLine{eStage::Sdl, L"Sent SDL write request (0x00200000, 1000)"},
      report::sProgress{eStage::Sdl, 1000, 1000},
      report::sNote{eStage::Sdl, L"Note: SDL write responses naming no write sent: 1"},
      report::sLine{eStage::Sdl, L"Sending SDL reset request"},
      report::sOutcome{true, 5},
  });
  EXPECT_EQ(output, "Sent SDL write request (0x00200000, 1000)\nSending SDL reset request\n");
  // Nothing drawn at the start; drawn at the acknowledgement, erased and drawn
  // again around the note, and erased once before the reset line.
  std::string status;
  EXPECT_EQ(WithStatusLineNamed(terminal_.Shown(), status),
            "<status>" + kErase + "Note: SDL write responses naming no write sent: 1\n<status>" + kErase);
  EXPECT_TRUE(status.starts_with("SDL write: 1.00 of 1.00 kB, 100%")) << status;
}

TEST_F(ConsoleViewOnTerminal, AFailedStreamKeepsItsLineUntilTheOutcome) {
  const std::string output = OutputOf({
      report::sProgress{eStage::Sdl, 0, 3000},
      report::sProgress{eStage::Sdl, 1000, 3000},
      report::sLine{eStage::Sdl, L"Failed to receive SDL response [1 of 3]"},
      report::sFailure{eStage::Sdl, L"Failed to receive SDL response [1 of 3]", 0x00201000u, 1u, 7u},
      report::sNote{eStage::Sdl, L"Note: x"},
      report::sLine{eStage::Outcome, L"Download failed"},
  });
  EXPECT_EQ(output, "Failed to receive SDL response [1 of 3]\nDownload failed\n");
  std::string status;
  EXPECT_EQ(WithStatusLineNamed(terminal_.Shown(), status),
            "<status>" + kErase + "<status>" + kErase + "Note: x\n<status>" + kErase);
  EXPECT_TRUE(status.starts_with("SDL write: 1.00 of 3.00 kB, 33%")) << status;
}

TEST_F(ConsoleViewOnTerminal, TheProgrammerLoadHasNoStatusLine) {
  const std::string output = OutputOf({
      report::sProgress{eStage::Dl, 0, 2048},
      report::sProgress{eStage::Dl, 1024, 2048},
      report::sProgress{eStage::Dl, 2048, 2048},
      report::sLine{eStage::Dl, L"Waiting for device to switch to program mode"},
      report::sPort{L"/dev/ttyUSB7"},
  });
  EXPECT_EQ(output, "Waiting for device to switch to program mode\n");
  EXPECT_EQ(terminal_.Shown(), "");
}

TEST_F(ConsoleViewOnTerminal, WithoutCursorControlAPercentageLineAtMostOnceASecond) {
  ASSERT_EQ(setenv("TERM", "dumb", 1), 0);
  const std::string output = OutputOf({
      report::sProgress{eStage::Sdl, 0, 1000},
      report::sProgress{eStage::Sdl, 500, 1000},
      report::sProgress{eStage::Sdl, 1000, 1000},  // within the second: not shown
      report::sLine{eStage::Sdl, L"Sending SDL reset request"},
  });
  EXPECT_EQ(output, "Sending SDL reset request\n");
  EXPECT_EQ(terminal_.Shown(), "SDL write: 50%\n");
}

}  // namespace
