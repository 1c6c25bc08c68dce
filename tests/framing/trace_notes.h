// The trace's notes on standard error through the console, as the updater
// and the module simulator hand them on.
#pragma once
#include <string>

#include "framing/traffic_trace.h"
#include "platform/console.h"
#include "text/utf8.h"

inline cTrafficTrace::NoteSink NotesToStandardError() {
  return [](const std::string& note) { platform::ConsoleExplain(L"%ls\n", text::Utf8ToWide(note).c_str()); };
}
