// The program's entry: find the installed configurations, report them, run
// the upgrade once and report its outcome with the elapsed time. The command
// line may instead ask for the list of modules, the upgrade of the module at
// one port or of every module, or for --help or --version; an unknown option
// is refused before anything else is done.
#include <cstdint>
#include <string>

#include "host/configuration.h"
#include "host/device_lookup.h"
#include "host/failure_hints.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/module.h"
#include "platform/stop_requests.h"
#include "text/printable_text.h"
#include "upgrade/command_line.h"
#include "upgrade/program_info.h"
#include "upgrade/run_time_conventions.h"
#include "upgrade/upgrade_all.h"
#include "upgrade/upgrade_sequence.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = -1;
constexpr int kExitUsage = 2;

// Description files that list this kind are not for this program.
constexpr uint32_t kExcludedKind = 1;

// What the program needs before anything else: its own module, which holds
// the embedded images.
bool InitializeApplication() { return platform::GetProgramModule() != nullptr; }

// The name is a directory name: control characters in it are escaped, since
// no one names a configuration with a terminal control sequence on purpose.
void ReportConfigurations(const host::ConfigurationMap& configurations) {
  for (const auto& [key, configuration] : configurations) {
    std::wstring name;
    if (host::GetConfigurationName(configuration, name)) {
      platform::ConsolePrint(L"System configured for %ls\n", text::PrintableText(name).c_str());
    }
  }
}

void ReportMissingModules() {
  platform::ConsolePrint(L"Unable to locate device\n");
  host::ExplainMissingDevice(host::ProcessConfigurationMap(), {});
}

// One line per configured module present: port, interface identity, place.
int ListModules() {
  const std::vector<host::sModulePort> modules = host::ListDeviceModules();
  if (modules.empty()) {
    ReportMissingModules();
    return kExitFailure;
  }
  for (const host::sModulePort& module : modules) {
    platform::ConsolePrint(L"%ls\t%ls\t%ls\n", module.portName.c_str(), module.identity.c_str(),
                           module.location.c_str());
  }
  return kExitSuccess;
}

// Each module's instance reports the configurations itself; without a module
// they are reported here, before the failure.
int UpgradeEveryModule() {
  const std::vector<host::sModulePort> modules = host::ListDeviceModules();
  if (modules.empty()) {
    ReportConfigurations(host::ProcessConfigurationMap());
    ReportMissingModules();
  }
  return UpgradeAllModules(modules) ? kExitSuccess : kExitFailure;
}

// The upgrade of one module, ending with its outcome line.
int UpgradeOne(const std::wstring& requestedPort, uint32_t startTick) {
  if (!RunUpgrade(requestedPort)) {
    platform::ConsolePrint(L"Download failed\n");
    return kExitFailure;
  }
  const uint32_t elapsedMs = platform::GetTickCount32() - startTick;
  platform::ConsolePrint(L"Upgraded in %u ms\n", elapsedMs);
  return kExitSuccess;
}

// Whatever the command line asked for but --help, --version and a refusal.
int RunCommand(const sCommandLine& line, uint32_t startTick) {
  host::ConfigurationMap found;
  host::ProcessConfigurationMap() = std::move(host::FindConfigurations(host::KindSet{kExcludedKind}, found));
  if (host::ProcessConfigurationMap().empty()) {
    platform::ConsolePrint(L"Required software not found\n");
    host::ExplainMissingConfiguration();
    return kExitFailure;
  }
  if (line.command == eCommand::All) return UpgradeEveryModule();
  ReportConfigurations(host::ProcessConfigurationMap());
  if (line.command == eCommand::List) return ListModules();
  return UpgradeOne(line.port.empty() ? std::wstring() : host::PortFromArgument(line.port.c_str()), startTick);
}

}  // namespace

int main(int argc, char** argv) {
  platform::TakeStopRequests();
  const sCommandLine line = ParseCommandLine(argc, argv);
  switch (line.command) {
    case eCommand::Refused:
      PrintRefusal(line.refusal);
      return kExitUsage;
    case eCommand::Help:
      PrintHelp();
      return kExitSuccess;
    case eCommand::Version:
      PrintVersion();
      return kExitSuccess;
    default:
      break;
  }
  if (!AcceptRunTimeEnvironment()) return kExitFailure;
  if (!InitializeApplication()) {
    platform::ConsolePrint(L"Application initialization failed\n");
    return kExitFailure;
  }
  return RunCommand(line, platform::GetTickCount32());
}
