// Placeholder until the SDL protocol lands: the phase reports failure, so no
// run can report an upgrade that did not happen.
#include "device/sdl/sdl_phase.h"

bool StreamImage(const cMemoryMappedFile&, const std::wstring&) { return false; }
