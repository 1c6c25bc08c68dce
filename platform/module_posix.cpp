// On Linux the program's module is the table of files the build linked into
// this executable.
#include "platform/module.h"

#include "platform/embedded_files_posix.h"

namespace platform {

ModuleHandle GetProgramModule() { return &kProgramEmbeddedFiles; }

}  // namespace platform
