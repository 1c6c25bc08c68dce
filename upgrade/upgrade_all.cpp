// Runs the per-module upgrades side by side. Each relayed line is printed
// with one console write, so that whole lines of different modules never
// mix; a module that fails does not stop the others. A traffic trace asked
// for with ZNTV_TRACE is split into one file per module, named after its
// port, since the instances would otherwise write over one another.
#include "upgrade/upgrade_all.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/child_process.h"
#include "platform/console.h"
#include "platform/utf8.h"

namespace {

constexpr const char* kTraceVariable = "ZNTV_TRACE";

// The module's instance: --port, and its own trace file ("<trace>.ttyUSB2").
platform::sInstance InstanceFor(const host::sModulePort& module) {
  platform::sInstance instance{{L"--port", module.portName}, {}};
  const char* trace = std::getenv(kTraceVariable);
  if (trace != nullptr && *trace != '\0') {
    const size_t separator = module.portName.find_last_of(L"/\\");
    const std::wstring name = separator == std::wstring::npos ? module.portName : module.portName.substr(separator + 1);
    instance.environment.push_back(std::string(kTraceVariable) + "=" + trace + "." + platform::WideToUtf8(name));
  }
  return instance;
}

}  // namespace

bool UpgradeAllModules(const std::vector<host::sModulePort>& modules) {
  std::vector<platform::sInstance> instances;
  for (const host::sModulePort& module : modules) instances.push_back(InstanceFor(module));
  const std::vector<int> statuses = platform::RunProgramInstances(
      instances, [&modules](size_t instance, platform::eChildStream stream, std::string_view line) {
        const wchar_t* port = modules[instance].portName.c_str();
        const std::wstring text = platform::Utf8ToWide(line);
        if (stream == platform::eChildStream::Output) {
          platform::ConsolePrint(L"%ls: %ls\n", port, text.c_str());
        } else {
          platform::ConsoleExplain(L"%ls: %ls\n", port, text.c_str());
        }
      });
  const auto upgraded = static_cast<unsigned>(std::count(statuses.begin(), statuses.end(), 0));
  platform::ConsolePrint(L"Upgraded %u of %u modules\n", upgraded, static_cast<unsigned>(modules.size()));
  return !modules.empty() && upgraded == modules.size();
}
