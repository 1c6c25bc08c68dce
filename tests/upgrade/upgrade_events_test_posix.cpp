// What a whole upgrade run reports, inside the test program: against the
// module simulator, the port first, each stage's lines in stage order and
// both transfers up to their whole length; without a module, the lookup's
// failure and its explanations as notes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/configuration.h"
#include "image/hex_file.h"
#include "image/memory_mapped_file.h"
#include "sysfs_tree_posix.h"
#include "tests/recording_sink.h"
#include "tests/setup_required.h"
#include "tests/simulated_module_posix.h"
#include "upgrade/upgrade_sequence.h"

namespace {

using report::eStage;

// The last progress event of stage; nothing acknowledged when there is none.
report::sProgress LastProgress(const test_support::cRecordingSink& sink, eStage stage) {
  report::sProgress last{stage, 0, 0};
  for (const report::sProgress& progress : sink.All<report::sProgress>()) {
    if (progress.stage == stage) last = progress;
  }
  return last;
}

TEST(UpgradeEvents, AWholeUpgradeReportsThePortFirstAndEveryStageInTurn) {
  const cMemoryMappedFile image(platform::GetProgramModule(), kDeviceImageResourceId);
  const cHexFile programmer(platform::GetProgramModule());
  ASSERT_EQ(image.Error, 0u);
  ASSERT_EQ(programmer.Error, 0u);
  const test_support::cSimulatedModule sim({});
  ZNTV_REQUIRE_SETUP(sim.Ready(), "no module simulator runs here: " ZNTV_SIMULATOR);
  test_support::cRecordingSink sink;
  host::cModemManagerInhibition modemManager;
  EXPECT_TRUE(RunUpgrade(L"", sink, modemManager));
  ASSERT_FALSE(sink.Events().empty());
  const auto* port = std::get_if<report::sPort>(&sink.Events().front());
  ASSERT_NE(port, nullptr) << "the port comes first";
  EXPECT_EQ(port->name, test_support::cSimulatedModule::Port("ttyUSB0"));
  // The lines come stage after stage: DIAG, then DL, then SDL.
  const std::vector<report::sLine> lines = sink.All<report::sLine>();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front().stage, eStage::Diag);
  EXPECT_EQ(lines.back().stage, eStage::Sdl);
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_LE(lines[i - 1].stage, lines[i].stage) << sink.Transcript();
  }
  EXPECT_EQ(sink.Transcript().rfind("Sending DIAG build ID request\n", 0), 0u);
  EXPECT_EQ(LastProgress(sink, eStage::Dl).acknowledged, programmer.ImageLength);
  EXPECT_EQ(LastProgress(sink, eStage::Sdl).acknowledged, image.Size);
  EXPECT_TRUE(sink.All<report::sFailure>().empty()) << sink.Transcript();
}

TEST(UpgradeEvents, NoModuleIsALookupFailureExplainedInNotes) {
  cSysfsTree sysfs;
  sysfs.AddUsbSerial("ttyUSB0", {"1111", "2222", "02"});
  host::ProcessConfigurationMap()[L"vid_0a1b&pid_2c3d&mi_02"].key = L"vid_0a1b&pid_2c3d&mi_02";
  test_support::cRecordingSink sink;
  host::cModemManagerInhibition modemManager;
  EXPECT_FALSE(RunUpgrade(L"", sink, modemManager));
  host::ProcessConfigurationMap().clear();
  EXPECT_EQ(sink.Transcript(), "Unable to locate device\n");
  const std::vector<report::sFailure> failures = sink.All<report::sFailure>();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].stage, eStage::Lookup);
  EXPECT_EQ(failures[0].step, L"Unable to locate device");
  EXPECT_TRUE(sink.All<report::sPort>().empty());
  EXPECT_EQ(sink.Notes(),
            "zntv-upgrade: looked for a serial port of USB interface vid_0a1b&pid_2c3d&mi_02\n"
            "zntv-upgrade: USB serial interfaces present: vid_1111&pid_2222&mi_02 at " +
                sysfs.Dev("ttyUSB0") + "\n");
}

}  // namespace
