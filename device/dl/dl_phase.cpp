// Placeholder until the DL protocol lands: the phase reports failure.
#include "device/dl/dl_phase.h"

bool LoadProgrammer(const cHexFile&, const std::wstring&) { return false; }
