// What the phases report, against the module simulator on a pseudo-terminal:
// the progress of a transfer from nothing up to its whole length, a failing
// write named by its address, sequence and the module's error, and the port
// the module comes back at after it re-enumerated under another name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/dl/dl_phase.h"
#include "device/sdl/sdl_phase.h"
#include "host/device_lookup.h"
#include "image/hex_file.h"
#include "image/memory_mapped_file.h"
#include "tests/recording_sink.h"
#include "tests/setup_required.h"
#include "tests/simulated_module_posix.h"
#include "text/utf8.h"

namespace {

constexpr uint32_t kSdlMaxWrite = 4096;    // the simulator's programmer's largest write
constexpr uint32_t kSdlBase = 0x00200000;  // and its flash base address
constexpr uint32_t kSdlErrorCode = 7;      // the code of its error packets

// The embedded files the updater streams and loads.
const cMemoryMappedFile& Image() {
  static const cMemoryMappedFile image(platform::GetProgramModule(), kDeviceImageResourceId);
  return image;
}

uint32_t WriteCount(uint32_t size, uint32_t block) { return (size + block - 1) / block; }

// Every progress event of stage: over one total, never going back.
void ExpectProgressUpTo(const test_support::cRecordingSink& sink, report::eStage stage, uint64_t total) {
  std::vector<report::sProgress> progress;
  for (const report::sProgress& event : sink.All<report::sProgress>()) {
    if (event.stage == stage) progress.push_back(event);
  }
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress.front().acknowledged, 0u) << "the transfer's start";
  EXPECT_EQ(progress.back().acknowledged, total) << "every byte acknowledged";
  for (size_t i = 0; i < progress.size(); ++i) {
    EXPECT_EQ(progress[i].total, total);
    if (i > 0) {
      EXPECT_GE(progress[i].acknowledged, progress[i - 1].acknowledged);
    }
  }
}

TEST(PhaseEvents, TheStreamReportsItsProgressUpToTheImageSize) {
  ASSERT_EQ(Image().Error, 0u);
  const test_support::cSimulatedModule sim({"--start-stage", "sdl"});
  ZNTV_REQUIRE_SETUP(sim.Ready(), "no module simulator runs here: " ZNTV_SIMULATOR);
  test_support::cRecordingSink sink;
  EXPECT_TRUE(StreamImage(Image(), sim.Found(), sink));
  ExpectProgressUpTo(sink, report::eStage::Sdl, Image().Size);
  // One at the start, one per acknowledged write.
  EXPECT_EQ(sink.All<report::sProgress>().size(), WriteCount(Image().Size, kSdlMaxWrite) + 1);
  EXPECT_TRUE(sink.All<report::sFailure>().empty());
}

TEST(PhaseEvents, AWriteAnsweredWithAnErrorIsReportedWithItsAddressAndTheError) {
  ASSERT_EQ(Image().Error, 0u);
  // The second write is answered with an error packet.
  const test_support::cSimulatedModule sim({"--start-stage", "sdl", "--sdl-error-at", "2"});
  ZNTV_REQUIRE_SETUP(sim.Ready(), "no module simulator runs here: " ZNTV_SIMULATOR);
  test_support::cRecordingSink sink;
  EXPECT_FALSE(StreamImage(Image(), sim.Found(), sink));
  const std::vector<report::sFailure> failures = sink.All<report::sFailure>();
  ASSERT_EQ(failures.size(), 1u) << sink.Transcript();
  const std::wstring step =
      L"Failed to receive SDL response [1 of " + std::to_wstring(WriteCount(Image().Size, kSdlMaxWrite)) + L"]";
  EXPECT_EQ(failures[0].stage, report::eStage::Sdl);
  EXPECT_EQ(failures[0].step, step);
  EXPECT_EQ(failures[0].sequence, 1u);
  EXPECT_EQ(failures[0].address, kSdlBase + kSdlMaxWrite);
  EXPECT_EQ(failures[0].error, kSdlErrorCode);
  // Its line is the transcript's last, after the module's error.
  const std::string transcript = sink.Transcript();
  EXPECT_NE(transcript.find("Received SDL error (7)\n" + text::WideToUtf8(step) + "\n"), std::string::npos)
      << transcript;
}

TEST(PhaseEvents, TheProgrammerLoadReportsItsProgressAndThePortTheModuleComesBackAt) {
  const cHexFile programmer(platform::GetProgramModule());
  ASSERT_EQ(programmer.Error, 0u);
  // The programmer comes back under a tty name of its own.
  const test_support::cSimulatedModule sim({"--start-stage", "dl", "--sdl-entry", "ttyUSB7"});
  ZNTV_REQUIRE_SETUP(sim.Ready(), "no module simulator runs here: " ZNTV_SIMULATOR);
  test_support::cRecordingSink sink;
  host::cFollowedModule module = sim.Found();
  ASSERT_EQ(module.PortName(), test_support::cSimulatedModule::Port("ttyUSB0"));
  EXPECT_TRUE(LoadProgrammer(programmer, module, sink));
  ExpectProgressUpTo(sink, report::eStage::Dl, programmer.ImageLength);
  const std::vector<report::sPort> ports = sink.All<report::sPort>();
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].name, test_support::cSimulatedModule::Port("ttyUSB7"));
  EXPECT_EQ(module.PortName(), ports[0].name);
  EXPECT_EQ(sink.Notes(), "zntv-upgrade: the module came back as " + text::WideToUtf8(ports[0].name) + "\n");
}

}  // namespace
