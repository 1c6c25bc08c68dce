// The fixed upgrade run: find the module's port, open the two embedded images,
// then enter download mode, load the flash programmer and stream the image,
// following the module through its restarts between the phases.
//
// Threads: main thread only; each phase blocks it until the phase is done.
#pragma once
#include <string>

#include "host/modem_manager.h"
#include "report/events.h"

// True when the image was streamed and the module reset. requestedPort: the
// port the user named (the module there and no other is upgraded); empty for
// the first configured module. Reports to sink the module's port, and the
// line of a failure it detects itself ("Unable to locate device", "Unable to
// open image file", "Unable to open flash programmer file"); the phases
// report their own lines to it. Before the first phase, modemManager is asked
// to keep ModemManager away from the module; the caller releases it once the
// outcome is told.
bool RunUpgrade(const std::wstring& requestedPort, report::cSink& sink, host::cModemManagerInhibition& modemManager);
