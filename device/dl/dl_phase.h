// The DL phase: load the flash programmer into the module's RAM through the
// boot downloader and start it. Main thread.
#pragma once
#include "report/events.h"

namespace host {
class cFollowedModule;
}
class cHexFile;

// True when every write was answered and the go request was sent. Reports
// its lines and the writes' progress (stage Dl) to sink. Talks to the module
// at its port and follows it until it is back as the programmer.
bool LoadProgrammer(const cHexFile& programmer, host::cFollowedModule& module, report::cSink& sink);
