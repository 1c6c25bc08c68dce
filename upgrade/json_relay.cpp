// Reads an instance's JSON lines for --all.
#include "upgrade/json_relay.h"

#include <nlohmann/json.hpp>

#include "text/utf8.h"
#include "upgrade/json_view.h"

namespace {

using Json = nlohmann::ordered_json;

// The line as an event of this program's schema; null when it is not one.
Json Parsed(std::string_view line) {
  if (line.empty() || line.front() != '{') return nullptr;
  Json object = Json::parse(line, nullptr, false);
  const bool event = object.is_object() && object.contains("v") && object["v"] == kEventSchemaVersion &&
                     object.contains("event") && object["event"].is_string();
  return event ? object : Json(nullptr);
}

// A plain line becomes the line event it stands for, timed when it came.
Json LineEvent(std::string_view line, uint64_t t) {
  return {{"v", kEventSchemaVersion}, {"event", "line"}, {"t", t}, {"text", text::WideToUtf8(text::Utf8ToWide(line))}};
}

// A field of the type asked for; zero or empty when it is missing or of
// another type (a line never throws).
uint64_t Number(const Json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_number_unsigned() ? found->get<uint64_t>() : 0;
}

std::string String(const Json& object, const char* name) {
  const auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

sInstanceEvent ReadInstanceEvent(std::string_view line, std::wstring_view module, uint64_t t) {
  Json object = Parsed(line);
  if (object.is_null()) object = LineEvent(line, t);
  const std::string name = text::WideToUtf8(module);
  if (!object.contains("port")) object["port"] = name;
  object["module"] = name;
  sInstanceEvent event;
  const std::string kind = String(object, "event");
  if (kind == "line") {
    event.kind = eInstanceEvent::Line;
    event.text = text::Utf8ToWide(String(object, "text"));
  } else if (kind == "progress") {
    event.kind = eInstanceEvent::Progress;
    event.stage = String(object, "stage");
    event.acknowledged = Number(object, "acknowledged");
    event.total = Number(object, "total");
  }
  event.json = object.dump(-1, ' ', false, Json::error_handler_t::replace);
  return event;
}
