// The executable module that carries the embedded files: an HMODULE on
// Windows; on Linux the table of files linked into the executable.
#pragma once

namespace platform {

#ifdef _WIN32
using ModuleHandle = void*;
#else
struct sEmbeddedFileTable;
using ModuleHandle = const sEmbeddedFileTable*;
#endif

// The program's own module, whose embedded files the upgrade uses.
ModuleHandle GetProgramModule();

}  // namespace platform
