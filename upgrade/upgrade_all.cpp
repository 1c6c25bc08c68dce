// Runs the per-module upgrades side by side. Each relayed line is printed
// with one console write, so that whole lines of different modules never
// mix; a module that fails does not stop the others.
#include "upgrade/upgrade_all.h"

#include <algorithm>
#include <string>

#include "platform/child_process.h"
#include "platform/console.h"
#include "platform/utf8.h"

bool UpgradeAllModules(const std::vector<host::sModulePort>& modules) {
  std::vector<std::vector<std::wstring>> arguments;
  for (const host::sModulePort& module : modules) arguments.push_back({L"--port", module.portName});
  const std::vector<int> statuses = platform::RunProgramInstances(
      arguments, [&modules](size_t instance, platform::eChildStream stream, std::string_view line) {
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
