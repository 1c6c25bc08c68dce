// Turns each reported event into one JSON object on a line of its own.
#include "upgrade/json_view.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "platform/clock.h"
#include "platform/console.h"
#include "text/utf8.h"

namespace {

// Fields in the order they are set, so that a person reading the lines finds
// "event" and "t" first.
using Json = nlohmann::ordered_json;

std::string Utf8(std::wstring_view text) { return text::WideToUtf8(text); }

// The fields every event starts with.
Json Object(const char* event, uint64_t t, const std::wstring& port) {
  Json object = {{"v", kEventSchemaVersion}, {"event", event}, {"t", t}};
  if (!port.empty()) object["port"] = Utf8(port);
  return object;
}

Json WithStage(Json object, report::eStage stage) {
  object["stage"] = report::StageName(stage);
  return object;
}

// Text from the program is valid UTF-8 (WideToUtf8 replaces what is not);
// anything else is replaced rather than refused.
std::string Dumped(const Json& object) { return object.dump(-1, ' ', false, Json::error_handler_t::replace); }

void AddOptional(Json& object, const char* name, const std::optional<uint32_t>& value) {
  if (value) object[name] = *value;
}

}  // namespace

cJsonLinesView::cJsonLinesView(uint32_t startTick, report::cSink* humanNotes)
    : cJsonLinesView(
          WriteJsonLine, [startTick] { return uint64_t{platform::GetTickCount32() - startTick}; }, humanNotes) {}

cJsonLinesView::cJsonLinesView(LineWriter write, Clock clock, report::cSink* humanNotes)
    : write_(std::move(write)), clock_(std::move(clock)), humanNotes_(humanNotes) {}

cJsonLinesView::~cJsonLinesView() { WriteHeldProgress(); }

void cJsonLinesView::Report(const report::Event& event) {
  std::visit([this](const auto& e) { On(e); }, event);
}

void cJsonLinesView::On(const report::sLine& line) {
  Json object = WithStage(Object("line", clock_(), port_), line.stage);
  object["text"] = Utf8(line.text);
  write_(Dumped(object));
}

void cJsonLinesView::On(const report::sNote& note) {
  Json object = WithStage(Object("note", clock_(), port_), note.stage);
  object["text"] = Utf8(note.text);
  write_(Dumped(object));
  if (humanNotes_ != nullptr) humanNotes_->Report(note);
}

void cJsonLinesView::On(const report::sPort& port) {
  port_ = port.name;
  write_(Dumped(Object("port", clock_(), port_)));
}

void cJsonLinesView::On(const report::sFailure& failure) {
  WriteHeldProgress();
  Json object = WithStage(Object("failure", clock_(), port_), failure.stage);
  object["step"] = Utf8(failure.step);
  AddOptional(object, "address", failure.address);
  AddOptional(object, "sequence", failure.sequence);
  AddOptional(object, "error", failure.error);
  write_(Dumped(object));
}

void cJsonLinesView::On(const report::sOutcome& outcome) {
  WriteHeldProgress();
  Json object = WithStage(Object("outcome", clock_(), port_), report::eStage::Outcome);
  object["upgraded"] = outcome.upgraded;
  object["ms"] = outcome.elapsedMs;
  write_(Dumped(object));
}

void cJsonLinesView::ReportModule(const sListedModule& module) {
  Json object = WithStage(Object("module", clock_(), module.port), report::eStage::Lookup);
  object["identity"] = Utf8(module.identity);
  object["location"] = Utf8(module.location);
  if (!module.configuration.empty()) object["configuration"] = Utf8(module.configuration);
  write_(Dumped(object));
}

void cJsonLinesView::ReportSummary(unsigned upgraded, unsigned modules) {
  Json object = WithStage(Object("summary", clock_(), {}), report::eStage::Outcome);
  object["upgraded"] = upgraded;
  object["modules"] = modules;
  write_(Dumped(object));
}

void cJsonLinesView::ReportPlugged(const std::wstring& port, const std::wstring& location) {
  WritePlace("plugged", port, location);
}

void cJsonLinesView::ReportUnplugged(const std::wstring& port, const std::wstring& location) {
  WritePlace("unplugged", port, location);
}

// The module's port names it, as --all's "module" names an instance's.
void cJsonLinesView::WritePlace(const char* event, const std::wstring& port, const std::wstring& location) {
  Json object = Object(event, clock_(), port);
  object["module"] = Utf8(port);
  object["location"] = Utf8(location);
  write_(Dumped(object));
}

// Paced: the first of a run, then one per kProgressEveryMs; the last of a
// transfer always. The latest one held back waits for the failure or outcome
// that may end its transfer.
void cJsonLinesView::On(const report::sProgress& progress) {
  const uint64_t t = clock_();
  const bool last = progress.acknowledged >= progress.total;
  if (held_ && (held_->progress.stage != progress.stage || held_->progress.total != progress.total)) {
    WriteHeldProgress();
  }
  if (last || !lastProgressT_ || t - *lastProgressT_ >= kProgressEveryMs) {
    held_.reset();
    WriteProgress(progress, t);
  } else {
    held_ = sHeldProgress{progress, t};
  }
}

void cJsonLinesView::WriteProgress(const report::sProgress& progress, uint64_t t) {
  lastProgressT_ = t;
  Json object = WithStage(Object("progress", t, port_), progress.stage);
  object["acknowledged"] = progress.acknowledged;
  object["total"] = progress.total;
  write_(Dumped(object));
}

void cJsonLinesView::WriteHeldProgress() {
  if (!held_) return;
  const sHeldProgress held = *held_;
  held_.reset();
  WriteProgress(held.progress, held.t);
}

void WriteJsonLine(std::string_view json) { platform::ConsolePrint(L"%ls\n", text::Utf8ToWide(json).c_str()); }
