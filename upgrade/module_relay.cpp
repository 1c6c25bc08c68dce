// Relays module instances' events (module_relay.h). Each relayed line is
// printed with one console write, so that whole lines of different modules
// never mix. A traffic trace asked for with ZNTV_TRACE is split into one file
// per module, named after its port, since the instances would otherwise
// write over one another. The instances always report as JSON lines, so that
// their progress reaches this process; what they say on standard error is
// relayed as it is.
#include "upgrade/module_relay.h"

#include <cstdlib>

#include "platform/clock.h"
#include "platform/console.h"
#include "text/utf8.h"
#include "upgrade/json_relay.h"

namespace {

constexpr const char* kTraceVariable = "ZNTV_TRACE";
constexpr std::wstring_view kUpgradedLine = L"Upgraded in ";

// What is said about an instance given up on, on its error stream as if it
// had said it.
std::wstring GivenUpLine(const platform::sInstanceEnd& end) {
  if (end.how == platform::eInstanceEnd::NotStarted) {
    return L"could not start " + platform::InstanceProgram() + L": system error " + std::to_wstring(end.status.code);
  }
  return L"did not finish: no output for " +
         std::to_wstring(std::chrono::duration_cast<std::chrono::seconds>(kInstanceSilenceLimit).count()) + L" s";
}

}  // namespace

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

cModulesProgress::cModulesProgress() : style_(platform::ConsoleStatusStyle()) {}

cModulesProgress::~cModulesProgress() {
  if (shown_) platform::ConsoleEndStatus();
}

void cModulesProgress::Add(const std::wstring& name) { modules_.emplace(added_++, sModule{name, {}, 0, 0, {}}); }

void cModulesProgress::Advance(size_t module, uint64_t acknowledged, uint64_t total) {
  const auto found = modules_.find(module);
  if (style_ == platform::eStatusStyle::None || found == modules_.end()) return;
  sModule& shown = found->second;
  const uint32_t now = platform::GetTickCount32();
  if (!shown.meter || shown.total != total) {
    shown.total = total;
    shown.startMs = now;
    shown.meter.emplace(shown.name, total, style_, now);
  }
  // The last state of a transfer is shown however soon it comes: its line
  // stays while the other modules go on.
  if (acknowledged >= total) shown.meter.emplace(shown.name, total, style_, shown.startMs);
  const std::optional<std::wstring> line = shown.meter->Update(acknowledged, now);
  if (!line) return;
  shown.line = *line;
  Show(*line);
}

void cModulesProgress::Drop(size_t module) {
  const auto found = modules_.find(module);
  if (found == modules_.end()) return;
  const bool wasShown = !found->second.line.empty();
  modules_.erase(found);
  if (!wasShown || style_ != platform::eStatusStyle::Redrawn) return;
  if (AllLines().empty()) {
    platform::ConsoleEndStatus();
    shown_ = false;
    return;
  }
  Show({});
}

std::wstring cModulesProgress::AllLines() const {
  std::wstring text;
  for (const auto& [number, module] : modules_) {
    if (module.line.empty()) continue;
    text += (text.empty() ? L"" : L"\n") + module.line;
  }
  return text;
}

// Plain lines show the line that changed; a redrawn status all of them.
void cModulesProgress::Show(const std::wstring& changed) {
  shown_ = true;
  platform::ConsoleShowStatus(style_ == platform::eStatusStyle::PlainLines ? changed : AllLines());
}

void cModuleRelay::Add(const std::wstring& port) {
  modules_.emplace(added_++, sModule{port});
  progress_->Add(port);
}

void cModuleRelay::Forget(size_t instance) {
  modules_.erase(instance);
  if (progress_) progress_->Drop(instance);
}

void cModuleRelay::Relay(size_t instance, platform::eChildStream stream, std::string_view line) {
  const auto found = modules_.find(instance);
  if (found == modules_.end()) return;  // its end has been told: nothing more comes
  sModule& module = found->second;
  const wchar_t* port = module.port.c_str();
  if (stream == platform::eChildStream::Error) {
    platform::ConsoleExplain(L"%ls: %ls\n", port, text::Utf8ToWide(line).c_str());
    return;
  }
  const sInstanceEvent event = ReadInstanceEvent(line, port, platform::GetTickCount32() - startTick_);
  if (event.kind == eInstanceEvent::Line && event.text.starts_with(kUpgradedLine)) module.reported = true;
  if (event.kind == eInstanceEvent::Progress && event.stage == report::StageName(report::eStage::Sdl)) {
    progress_->Advance(instance, event.acknowledged, event.total);
  }
  if (json_ != nullptr) {
    WriteJsonLine(event.json);
  } else if (event.kind == eInstanceEvent::Line) {
    platform::ConsolePrint(L"%ls: %ls\n", port, event.text.c_str());
  }
}

void cModuleRelay::TellGivenUp(size_t instance, const platform::sInstanceEnd& end) const {
  if (end.how != platform::eInstanceEnd::NotStarted && end.how != platform::eInstanceEnd::NotFinished) return;
  platform::ConsoleExplain(L"%ls: %ls\n", modules_.at(instance).port.c_str(), GivenUpLine(end).c_str());
}

bool cModuleRelay::Upgraded(size_t instance, const platform::sInstanceEnd& end) const {
  return modules_.at(instance).reported && end.how == platform::eInstanceEnd::Exited && end.exitStatus == 0;
}

void ReportModulesSummary(unsigned upgraded, unsigned modules, cJsonLinesView* json) {
  if (json == nullptr) {
    platform::ConsolePrint(L"Upgraded %u of %u modules\n", upgraded, modules);
    return;
  }
  json->Report(report::sLine{report::eStage::Outcome, L"Upgraded " + std::to_wstring(upgraded) + L" of " +
                                                          std::to_wstring(modules) + L" modules"});
  json->ReportSummary(upgraded, modules);
}
