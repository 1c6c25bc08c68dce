// The program's entry: find the installed configurations, report them, run
// the upgrade once and report its outcome with the elapsed time, all as
// events that the console view prints. The command line may instead ask for
// the list of modules, the upgrade of the module at one port or of every
// module, the station mode that upgrades modules as they are plugged in, or
// for --help or --version; an unknown option is refused before
// anything else is done. With --json the events go to the JSON Lines view
// instead (json_view.h), which hands the notes on to the console's.
#include <cstdint>
#include <optional>
#include <string>

#include "device/hdlc/hdlc_protocol_server.h"
#include "host/configuration.h"
#include "host/device_lookup.h"
#include "host/failure_hints.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/module.h"
#include "platform/stop_requests.h"
#include "report/reporter.h"
#include "text/printable_text.h"
#include "text/utf8.h"
#include "upgrade/command_line.h"
#include "upgrade/console_view.h"
#include "upgrade/json_view.h"
#include "upgrade/program_info.h"
#include "upgrade/run_time_conventions.h"
#include "upgrade/station.h"
#include "upgrade/udev_rules.h"
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
void ReportConfigurations(const report::cReporter& lookup, const host::ConfigurationMap& configurations) {
  for (const auto& [key, configuration] : configurations) {
    std::wstring name;
    if (host::GetConfigurationName(configuration, name)) {
      lookup.Line(L"System configured for %ls", text::PrintableText(name).c_str());
    }
  }
}

void ReportMissingModules(const report::cReporter& lookup) {
  lookup.Failure({}, L"Unable to locate device");
  host::ExplainMissingDevice(lookup, host::ProcessConfigurationMap(), {});
}

// The name of the installed configuration of a module (its identity is the
// configuration's key); empty when none is known.
std::wstring ConfigurationNameOf(const host::sModulePort& module) {
  const auto found = host::ProcessConfigurationMap().find(module.identity);
  std::wstring name;
  if (found != host::ProcessConfigurationMap().end()) host::GetConfigurationName(found->second, name);
  return name;
}

// One line per configured module present: port, interface identity, place;
// with --json one module event each.
int ListModules(const report::cReporter& lookup, cJsonLinesView* json) {
  const std::vector<host::sModulePort> modules = host::ListDeviceModules();
  if (modules.empty()) {
    ReportMissingModules(lookup);
    return kExitFailure;
  }
  for (const host::sModulePort& module : modules) {
    if (json != nullptr) {
      json->ReportModule({module.portName, module.identity, module.location, ConfigurationNameOf(module)});
    } else {
      lookup.Line(L"%ls\t%ls\t%ls", module.portName.c_str(), module.identity.c_str(), module.location.c_str());
    }
  }
  return kExitSuccess;
}

// Each module's instance reports the configurations itself; without a module
// they are reported here, before the failure.
int UpgradeEveryModule(const report::cReporter& lookup, cJsonLinesView* json) {
  const std::vector<host::sModulePort> modules = host::ListDeviceModules();
  if (modules.empty()) {
    ReportConfigurations(lookup, host::ProcessConfigurationMap());
    ReportMissingModules(lookup);
  }
  return UpgradeAllModules(modules, json) ? kExitSuccess : kExitFailure;
}

// The upgrade of one module, ending with its outcome line and the outcome;
// ModemManager gets the module back only after the outcome line.
int UpgradeOne(const std::wstring& requestedPort, uint32_t startTick, report::cSink& sink) {
  host::cModemManagerInhibition modemManager;
  const bool upgraded = RunUpgrade(requestedPort, sink, modemManager);
  const uint32_t elapsedMs = platform::GetTickCount32() - startTick;
  const report::cReporter outcome(sink, report::eStage::Outcome);
  if (upgraded) {
    outcome.Line(L"Upgraded in %u ms", elapsedMs);
  } else {
    outcome.Line(L"Download failed");
  }
  sink.Report(report::sOutcome{upgraded, elapsedMs});
  modemManager.Release(outcome);
  return upgraded ? kExitSuccess : kExitFailure;
}

// The rules file on standard output; an identity that cannot be written as
// a rule is said on standard error.
int PrintUdevRules(const report::cReporter& lookup) {
  const sUdevRules rules = MakeUdevRules(host::ProcessConfigurationMap());
  for (const std::wstring& key : rules.skipped) {
    lookup.Note(L"zntv-upgrade: no udev rule for %ls: not a USB vendor, product and interface number",
                text::PrintableText(key).c_str());
  }
  platform::ConsolePrint(L"%ls", rules.text.c_str());
  return kExitSuccess;
}

// Whatever the command line asked for but --help, --version and a refusal.
// json: the --json view, which sink is; none without --json.
int RunCommand(const sCommandLine& line, uint32_t startTick, report::cSink& sink, cJsonLinesView* json) {
  const report::cReporter lookup(sink, report::eStage::Lookup);
  host::ConfigurationMap found;
  host::ProcessConfigurationMap() = std::move(host::FindConfigurations(host::KindSet{kExcludedKind}, found));
  if (host::ProcessConfigurationMap().empty()) {
    lookup.Failure({}, L"Required software not found");
    host::ExplainMissingConfiguration(lookup);
    return kExitFailure;
  }
  if (line.command == eCommand::All) return UpgradeEveryModule(lookup, json);
  if (line.command == eCommand::UdevRules) return PrintUdevRules(lookup);
  if (line.command == eCommand::Watch) {
    return WatchStation({line.jobs, line.newOnly}, json) ? kExitSuccess : kExitFailure;
  }
  ReportConfigurations(lookup, host::ProcessConfigurationMap());
  if (line.command == eCommand::List) return ListModules(lookup, json);
  return UpgradeOne(line.port.empty() ? std::wstring() : host::PortFromArgument(line.port.c_str()), startTick, sink);
}

// The line trace's notes reach standard error through the console, whichever
// thread has one.
void NoteOnStandardError(const std::string& note) {
  platform::ConsoleExplain(L"%ls\n", text::Utf8ToWide(note).c_str());
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
  const uint32_t startTick = platform::GetTickCount32();
  cConsoleView console;
  std::optional<cJsonLinesView> json;
  if (line.json) json.emplace(startTick, &console);
  report::cSink& sink = json ? static_cast<report::cSink&>(*json) : console;
  if (!InitializeApplication()) {
    report::cReporter(sink, report::eStage::Lookup).Failure({}, L"Application initialization failed");
    return kExitFailure;
  }
  SetLineTraceNotes(NoteOnStandardError);
  return RunCommand(line, startTick, sink, json ? &*json : nullptr);
}
