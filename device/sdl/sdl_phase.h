// The SDL phase: stream the device image through the programmer in a window
// of unacknowledged writes, then reset the module. Main thread.
#pragma once
#include "report/events.h"

namespace host {
class cFollowedModule;
}
class cMemoryMappedFile;

// The outcome of the whole upgrade: true when every write was acknowledged and
// the reset was answered. Reports its lines, notes and the image's progress
// (stage Sdl) to sink. Talks to the module at its port.
bool StreamImage(const cMemoryMappedFile& image, const host::cFollowedModule& module, report::cSink& sink);
