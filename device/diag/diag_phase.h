// The DIAG phase: identify the module, switch its mode, order it into its
// boot downloader and wait for it to come back. Main thread.
#pragma once
#include "report/events.h"

namespace host {
class cFollowedModule;
}

// True when the download mode request was answered. Reports its own lines
// (stage Diag) to sink. Talks to the module at its port and follows it until
// it is back as the boot downloader.
bool EnterDownloadMode(host::cFollowedModule& module, report::cSink& sink);
