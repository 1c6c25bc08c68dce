// The program's entry: find the installed configurations, report them, run
// the upgrade once and report its outcome with the elapsed time. --help and
// --version are answered instead, before anything else.
#include <cstdint>
#include <string>

#include "device/discovery/configuration.h"
#include "device/discovery/failure_hints.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/module.h"
#include "upgrade/program_info.h"
#include "upgrade/upgrade_sequence.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = -1;

// Description files that list this kind are not for this program.
constexpr uint32_t kExcludedKind = 1;

// What the program needs before anything else: its own module, which holds
// the embedded images.
bool InitializeApplication() { return platform::GetProgramModule() != nullptr; }

void ReportConfigurations(const ConfigurationMap& configurations) {
  for (const auto& [key, configuration] : configurations) {
    std::wstring name;
    if (GetConfigurationName(configuration, name)) {
      platform::ConsolePrint(L"System configured for %ls\n", name.c_str());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (AnswerInformationRequest(argc, argv)) return kExitSuccess;
  if (!InitializeApplication()) {
    platform::ConsolePrint(L"Application initialization failed\n");
    return kExitFailure;
  }
  const uint32_t startTick = platform::GetTickCount32();
  ConfigurationMap found;
  ProcessConfigurationMap() = std::move(FindConfigurations(KindSet{kExcludedKind}, found));
  if (ProcessConfigurationMap().empty()) {
    platform::ConsolePrint(L"Required software not found\n");
    ExplainMissingConfiguration();
    return kExitFailure;
  }
  ReportConfigurations(ProcessConfigurationMap());
  if (!RunUpgrade()) {
    platform::ConsolePrint(L"Download failed\n");
    return kExitFailure;
  }
  const uint32_t elapsedMs = platform::GetTickCount32() - startTick;
  platform::ConsolePrint(L"Upgraded in %u ms\n", elapsedMs);
  return kExitSuccess;
}
