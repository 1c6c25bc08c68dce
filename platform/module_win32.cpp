// On Windows the program's module is the executable's own image, which holds
// its resources.
#include "platform/module.h"

#include <windows.h>

namespace platform {

ModuleHandle GetProgramModule() { return GetModuleHandleW(nullptr); }

}  // namespace platform
