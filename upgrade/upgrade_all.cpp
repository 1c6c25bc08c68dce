// Runs the per-module upgrades side by side. Each relayed line is printed
// with one console write, so that whole lines of different modules never
// mix; a module that fails does not stop the others. A request to stop is
// passed on to the instances, which finish or abandon their flashes by their
// own rule, and this process relays them to the end and gives its summary.
// A traffic trace asked for with ZNTV_TRACE is split into one file per
// module, named after its port, since the instances would otherwise write
// over one another. The instances always report as JSON lines, so that
// their progress reaches this process; what they say on standard error is
// relayed as it is.
#include "upgrade/upgrade_all.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/stop_requests.h"
#include "text/utf8.h"
#include "upgrade/json_relay.h"
#include "upgrade/transfer_progress.h"

namespace {

constexpr const char* kTraceVariable = "ZNTV_TRACE";
constexpr std::wstring_view kUpgradedLine = L"Upgraded in ";

// An instance prints a line at least at every step of its upgrade; the
// longest step it takes without one (an exchange's attempts, a wait for the
// module's return, a protocol server's shutdown) is well under a minute.
// One that stays silent for twice that has hung.
constexpr std::chrono::milliseconds kInstanceSilenceLimit = std::chrono::minutes(2);

// The module's instance: --port, and its own trace file ("<trace>.ttyUSB2").
platform::sInstance InstanceFor(const host::sModulePort& module) {
  platform::sInstance instance{{L"--port", module.portName, L"--json"}, {}};
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

// One status line per module whose image streaming has begun (as the
// console view of a single upgrade, the programmer's load gets none), on
// standard error while it is a terminal: its port, how far the stream has
// got, rate and time left. Plain lines on a terminal without cursor control.
class cModulesProgress {
 public:
  explicit cModulesProgress(const std::vector<host::sModulePort>& modules)
      : style_(platform::ConsoleStatusStyle()), modules_(modules.size()) {
    for (size_t i = 0; i < modules.size(); ++i) modules_[i].name = modules[i].portName;
  }
  ~cModulesProgress() {
    if (shown_) platform::ConsoleEndStatus();
  }
  cModulesProgress(const cModulesProgress&) = delete;
  cModulesProgress& operator=(const cModulesProgress&) = delete;

  void Advance(size_t instance, uint64_t acknowledged, uint64_t total) {
    if (style_ == platform::eStatusStyle::None) return;
    sModule& module = modules_[instance];
    const uint32_t now = platform::GetTickCount32();
    if (!module.meter || module.total != total) {
      module.total = total;
      module.startMs = now;
      module.meter.emplace(module.name, total, style_, now);
    }
    // The last state of a transfer is shown however soon it comes: its line
    // stays while the other modules go on.
    if (acknowledged >= total) module.meter.emplace(module.name, total, style_, module.startMs);
    const std::optional<std::wstring> line = module.meter->Update(acknowledged, now);
    if (!line) return;
    module.line = *line;
    shown_ = true;
    platform::ConsoleShowStatus(style_ == platform::eStatusStyle::PlainLines ? *line : AllLines());
  }

 private:
  struct sModule {
    std::wstring name;
    std::optional<cTransferMeter> meter;
    uint64_t total = 0;
    uint32_t startMs = 0;
    std::wstring line;  // shown now; empty: its transfer has not begun
  };

  std::wstring AllLines() const {
    std::wstring text;
    for (const sModule& module : modules_) {
      if (module.line.empty()) continue;
      text += (text.empty() ? L"" : L"\n") + module.line;
    }
    return text;
  }

  platform::eStatusStyle style_;
  std::vector<sModule> modules_;
  bool shown_ = false;
};

void ReportSummary(unsigned upgraded, unsigned modules, cJsonLinesView* json) {
  if (json == nullptr) {
    platform::ConsolePrint(L"Upgraded %u of %u modules\n", upgraded, modules);
    return;
  }
  json->Report(report::sLine{report::eStage::Outcome, L"Upgraded " + std::to_wstring(upgraded) + L" of " +
                                                          std::to_wstring(modules) + L" modules"});
  json->ReportSummary(upgraded, modules);
}

}  // namespace

bool UpgradeAllModules(const std::vector<host::sModulePort>& ports, cJsonLinesView* json) {
  const std::vector<host::sModulePort> modules = OnePortPerPlace(ports);
  std::vector<platform::sInstance> instances;
  for (const host::sModulePort& module : modules) instances.push_back(InstanceFor(module));
  // A module is upgraded when its instance said so and exited with success.
  std::vector<bool> reported(modules.size(), false);
  const uint32_t startTick = platform::GetTickCount32();
  std::optional<cModulesProgress> progress(std::in_place, modules);
  platform::PassStopRequestsOn();
  const std::vector<platform::sInstanceEnd> ends = platform::RunProgramInstances(
      instances,
      [&](size_t instance, platform::eChildStream stream, std::string_view line) {
        const wchar_t* port = modules[instance].portName.c_str();
        if (stream == platform::eChildStream::Error) {
          platform::ConsoleExplain(L"%ls: %ls\n", port, text::Utf8ToWide(line).c_str());
          return;
        }
        const sInstanceEvent event = ReadInstanceEvent(line, port, platform::GetTickCount32() - startTick);
        if (event.kind == eInstanceEvent::Line && event.text.starts_with(kUpgradedLine)) reported[instance] = true;
        if (event.kind == eInstanceEvent::Progress && event.stage == report::StageName(report::eStage::Sdl)) {
          progress->Advance(instance, event.acknowledged, event.total);
        }
        if (json != nullptr) {
          WriteJsonLine(event.json);
        } else if (event.kind == eInstanceEvent::Line) {
          platform::ConsolePrint(L"%ls: %ls\n", port, event.text.c_str());
        }
      },
      [&modules](size_t instance, const platform::sInstanceEnd& end) {
        platform::ConsoleExplain(L"%ls: %ls\n", modules[instance].portName.c_str(), GivenUpLine(end).c_str());
      },
      kInstanceSilenceLimit);
  progress.reset();
  unsigned upgraded = 0;
  for (size_t i = 0; i < modules.size(); ++i) {
    upgraded += reported[i] && ends[i].how == platform::eInstanceEnd::Exited && ends[i].exitStatus == 0 ? 1 : 0;
  }
  ReportSummary(upgraded, static_cast<unsigned>(modules.size()), json);
  return !modules.empty() && upgraded == modules.size();
}
