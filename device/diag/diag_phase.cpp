// Placeholder until the DIAG protocol lands: the phase reports failure.
#include "device/diag/diag_phase.h"

bool EnterDownloadMode(const std::wstring&) { return false; }
