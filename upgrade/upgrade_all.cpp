// Runs the per-module upgrades side by side, their lines relayed as they come
// (module_relay.h); a module that fails does not stop the others. A request
// to stop is passed on to the instances, which finish or abandon their
// flashes by their own rule, and this process relays them to the end and
// gives its summary.
#include "upgrade/upgrade_all.h"

#include <algorithm>

#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/stop_requests.h"
#include "upgrade/module_relay.h"

namespace {

// One port per module: ports at the same place (one interface with two ttys,
// or two interfaces of one USB device) are one module, upgraded once through
// the first of them.
std::vector<host::sModulePort> OnePortPerPlace(const std::vector<host::sModulePort>& ports) {
  std::vector<host::sModulePort> modules;
  for (const host::sModulePort& port : ports) {
    const auto samePlace = [&port](const host::sModulePort& module) { return module.place == port.place; };
    if (std::none_of(modules.begin(), modules.end(), samePlace)) modules.push_back(port);
  }
  return modules;
}

}  // namespace

bool UpgradeAllModules(const std::vector<host::sModulePort>& ports, cJsonLinesView* json) {
  const std::vector<host::sModulePort> modules = OnePortPerPlace(ports);
  std::vector<platform::sInstance> instances;
  cModuleRelay relay(json, platform::GetTickCount32());
  for (const host::sModulePort& module : modules) {
    instances.push_back(InstanceFor(module));
    relay.Add(module.portName);
  }
  platform::PassStopRequestsOn();
  const std::vector<platform::sInstanceEnd> ends = platform::RunProgramInstances(
      instances,
      [&relay](size_t instance, platform::eChildStream stream, std::string_view line) {
        relay.Relay(instance, stream, line);
      },
      [&relay](size_t instance, const platform::sInstanceEnd& end) { relay.TellGivenUp(instance, end); },
      kInstanceSilenceLimit);
  relay.EndProgress();
  unsigned upgraded = 0;
  for (size_t i = 0; i < modules.size(); ++i) upgraded += relay.Upgraded(i, ends[i]) ? 1 : 0;
  ReportModulesSummary(upgraded, static_cast<unsigned>(modules.size()), json);
  return !modules.empty() && upgraded == modules.size();
}
