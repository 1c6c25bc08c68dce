// What --all reads from each module's instance: the instance runs with
// --json, and each line of its standard output is one event (json_view.h).
// A line that is not such an event (an older program, a line printed past
// the view) counts as a transcript line of that text, so that nothing an
// instance prints is lost.
//
// Threads: pure functions; any thread (--all reads on its main thread).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

enum class eInstanceEvent { Line, Progress, Other };

struct sInstanceEvent {
  eInstanceEvent kind = eInstanceEvent::Other;
  std::wstring text;          // Line: the transcript line
  std::string stage;          // Progress: the transfer's stage ("sdl": the image's streaming)
  uint64_t acknowledged = 0;  // Progress: bytes of the transfer
  uint64_t total = 0;
  std::string json;  // the event as --all --json passes it on (one object, no line end)
};

// One line of the instance for module (the port --all started it for):
// the event as read, and passed on with "port" set to module when it had
// none and "module" set to module. t: milliseconds since --all started,
// the time of a plain line.
sInstanceEvent ReadInstanceEvent(std::string_view line, std::wstring_view module, uint64_t t);
