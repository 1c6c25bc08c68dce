// Finds one of the files embedded in an executable module: the resource of
// type "FILES" with a numeric id on Windows, an entry of the table of files
// linked into the executable on Linux. The bytes belong to the loaded program
// and stay valid, unchanged, until the process ends.
//
// Threads: any thread may call it; it touches no shared mutable state.
#pragma once
#include <cstdint>

#include "platform/module.h"

namespace platform {

// On success stores the first byte and the length of file <id> of <module>
// and returns 0. Otherwise leaves *data and *size alone and returns the
// system's error code (resource not found, or what the loader reported). An
// empty file is not usable: it yields an error code, never 0.
[[nodiscard]] uint32_t FindEmbeddedFile(ModuleHandle module, uint16_t id, const uint8_t** data, uint32_t* size);

}  // namespace platform
