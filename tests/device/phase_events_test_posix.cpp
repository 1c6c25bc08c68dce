// What the phases report, against the module simulator on a pseudo-terminal:
// the progress of a transfer from nothing up to its whole length, a failing
// write named by its address, sequence and the module's error, and the port
// the module comes back at after it re-enumerated under another name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "device/dl/dl_phase.h"
#include "device/sdl/sdl_phase.h"
#include "host/configuration.h"
#include "host/device_lookup.h"
#include "image/hex_file.h"
#include "image/memory_mapped_file.h"
#include "tests/recording_sink.h"
#include "tests/setup_required.h"
#include "text/utf8.h"

extern char** environ;

namespace {

constexpr uint32_t kSdlMaxWrite = 4096;    // the simulator's programmer's largest write
constexpr uint32_t kSdlBase = 0x00200000;  // and its flash base address
constexpr uint32_t kSdlErrorCode = 7;      // the code of its error packets
const char* const kSettings[] = {"PROGRAMFILES", "SYSFS_PATH", "DEV_PATH"};

// One simulated module, from construction until destruction, which ends it:
// its tree's folders are this process's environment meanwhile, and the
// configuration it installed is the process's configuration map.
class cSimulatedModule {
 public:
  explicit cSimulatedModule(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {ZNTV_SIMULATOR, "--idle-timeout", "20000"});
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const bool started = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    output_ = fdopen(out[0], "r");
    if (!started) pid_ = -1;
    ready_ = started && output_ != nullptr && TakeSettings();
    host::ConfigurationMap found;
    if (ready_) host::ProcessConfigurationMap() = host::FindConfigurations(host::KindSet{}, found);
  }

  ~cSimulatedModule() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ != nullptr) std::fclose(output_);
    host::ProcessConfigurationMap().clear();
    for (const char* name : kSettings) unsetenv(name);
  }
  cSimulatedModule(const cSimulatedModule&) = delete;
  cSimulatedModule& operator=(const cSimulatedModule&) = delete;

  bool Ready() const { return ready_; }

  // The module as the lookup finds it at the start of a run.
  host::cFollowedModule Found() const {
    const std::vector<host::sModulePort> modules = host::ListDeviceModules();
    return host::cFollowedModule(modules.empty() ? host::sModulePort{} : modules.front(), false);
  }

  // The port of tty in the simulator's device directory.
  static std::wstring Port(const std::string& tty) {
    const char* dev = getenv("DEV_PATH");
    return text::Utf8ToWide(std::string(dev == nullptr ? "" : dev) + "/" + tty);
  }

 private:
  // The three "export NAME='value'" lines the simulator starts with.
  bool TakeSettings() {
    for (const char* name : kSettings) {
      char line[4096];
      if (std::fgets(line, sizeof line, output_) == nullptr) return false;
      const std::string text(line);
      const std::string head = std::string("export ") + name + "='";
      const size_t end = text.rfind('\'');
      if (text.rfind(head, 0) != 0 || end < head.size()) return false;
      if (setenv(name, text.substr(head.size(), end - head.size()).c_str(), 1) != 0) return false;
    }
    return true;
  }

  pid_t pid_ = -1;
  FILE* output_ = nullptr;
  bool ready_ = false;
};

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
  const cSimulatedModule sim({"--start-stage", "sdl"});
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
  const cSimulatedModule sim({"--start-stage", "sdl", "--sdl-error-at", "2"});
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
  const cSimulatedModule sim({"--start-stage", "dl", "--sdl-entry", "ttyUSB7"});
  ZNTV_REQUIRE_SETUP(sim.Ready(), "no module simulator runs here: " ZNTV_SIMULATOR);
  test_support::cRecordingSink sink;
  host::cFollowedModule module = sim.Found();
  ASSERT_EQ(module.PortName(), cSimulatedModule::Port("ttyUSB0"));
  EXPECT_TRUE(LoadProgrammer(programmer, module, sink));
  ExpectProgressUpTo(sink, report::eStage::Dl, programmer.ImageLength);
  const std::vector<report::sPort> ports = sink.All<report::sPort>();
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].name, cSimulatedModule::Port("ttyUSB7"));
  EXPECT_EQ(module.PortName(), ports[0].name);
  EXPECT_EQ(sink.Notes(), "zntv-upgrade: the module came back as " + text::WideToUtf8(ports[0].name) + "\n");
}

}  // namespace
