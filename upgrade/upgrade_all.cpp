// Runs the per-module upgrades side by side. Each relayed line is printed
// with one console write, so that whole lines of different modules never
// mix; a module that fails does not stop the others. A request to stop is
// passed on to the instances, which finish or abandon their flashes by their
// own rule, and this process relays them to the end and gives its summary.
// A traffic trace asked for with ZNTV_TRACE is split into one file per
// module, named after its port, since the instances would otherwise write
// over one another.
#include "upgrade/upgrade_all.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/child_process.h"
#include "platform/console.h"
#include "platform/stop_requests.h"
#include "text/utf8.h"

namespace {

constexpr const char* kTraceVariable = "ZNTV_TRACE";
constexpr std::string_view kUpgradedLine = "Upgraded in ";

// An instance prints a line at least at every step of its upgrade; the
// longest step it takes without one (an exchange's attempts, a wait for the
// module's return, a protocol server's shutdown) is well under a minute.
// One that stays silent for twice that has hung.
constexpr std::chrono::milliseconds kInstanceSilenceLimit = std::chrono::minutes(2);

// The module's instance: --port, and its own trace file ("<trace>.ttyUSB2").
platform::sInstance InstanceFor(const host::sModulePort& module) {
  platform::sInstance instance{{L"--port", module.portName}, {}};
  const char* trace = std::getenv(kTraceVariable);
  if (trace != nullptr && *trace != '\0') {
    const size_t separator = module.portName.find_last_of(L"/\\");
    const std::wstring name = separator == std::wstring::npos ? module.portName : module.portName.substr(separator + 1);
    instance.environment.push_back(std::string(kTraceVariable) + "=" + trace + "." + text::WideToUtf8(name));
  }
  return instance;
}

// One port per module: ports at the same place (one interface with two ttys,
// or two interfaces of one USB device) are one module, upgraded once through
// the first of them.
// What is said about an instance given up on, on its error stream as if it
// had said it.
std::wstring GivenUpLine(const platform::sInstanceEnd& end) {
  if (end.how == platform::eInstanceEnd::NotStarted) {
    return L"could not start " + platform::InstanceProgram() + L": system error " + std::to_wstring(end.status.code);
  }
  return L"did not finish: no output for " +
         std::to_wstring(std::chrono::duration_cast<std::chrono::seconds>(kInstanceSilenceLimit).count()) + L" s";
}

std::vector<host::sModulePort> OnePortPerPlace(const std::vector<host::sModulePort>& ports) {
  std::vector<host::sModulePort> modules;
  for (const host::sModulePort& port : ports) {
    const auto samePlace = [&port](const host::sModulePort& module) { return module.place == port.place; };
    if (std::none_of(modules.begin(), modules.end(), samePlace)) modules.push_back(port);
  }
  return modules;
}

}  // namespace

bool UpgradeAllModules(const std::vector<host::sModulePort>& ports) {
  const std::vector<host::sModulePort> modules = OnePortPerPlace(ports);
  std::vector<platform::sInstance> instances;
  for (const host::sModulePort& module : modules) instances.push_back(InstanceFor(module));
  // A module is upgraded when its instance said so and exited with success.
  std::vector<bool> reported(modules.size(), false);
  platform::PassStopRequestsOn();
  const std::vector<platform::sInstanceEnd> ends = platform::RunProgramInstances(
      instances,
      [&modules, &reported](size_t instance, platform::eChildStream stream, std::string_view line) {
        const wchar_t* port = modules[instance].portName.c_str();
        const std::wstring text = text::Utf8ToWide(line);
        if (stream == platform::eChildStream::Output) {
          if (line.substr(0, kUpgradedLine.size()) == kUpgradedLine) reported[instance] = true;
          platform::ConsolePrint(L"%ls: %ls\n", port, text.c_str());
        } else {
          platform::ConsoleExplain(L"%ls: %ls\n", port, text.c_str());
        }
      },
      [&modules](size_t instance, const platform::sInstanceEnd& end) {
        platform::ConsoleExplain(L"%ls: %ls\n", modules[instance].portName.c_str(), GivenUpLine(end).c_str());
      },
      kInstanceSilenceLimit);
  unsigned upgraded = 0;
  for (size_t i = 0; i < modules.size(); ++i) {
    upgraded += reported[i] && ends[i].how == platform::eInstanceEnd::Exited && ends[i].exitStatus == 0 ? 1 : 0;
  }
  platform::ConsolePrint(L"Upgraded %u of %u modules\n", upgraded, static_cast<unsigned>(modules.size()));
  return !modules.empty() && upgraded == modules.size();
}
