// The Linux conventions: environment variables that move the program-files
// folder, the sysfs tree and the device directory (tests and the module
// simulator use them), the trace file for support and the switch that keeps
// the progress line off. Those folders must be absolute: the program often
// runs as root, and a relative folder would let whoever owns the current
// directory choose the configuration or the port.
#include "upgrade/run_time_conventions.h"

#include <string>

#include "host/native_fs_posix.h"
#include "platform/console.h"
#include "text/printable_text.h"

const wchar_t* RunTimeConventionsHelp() {
  return L"Environment (a relative folder is refused; an empty one means the default):\n"
         L"  PROGRAMFILES  program-files folder (default /opt); configurations are\n"
         L"                $PROGRAMFILES/Zantrova/Images/<name>/<VVVVPPPP>.did\n"
         L"  SYSFS_PATH    sysfs root searched for USB serial interfaces (default /sys)\n"
         L"  DEV_PATH      directory of the serial port device nodes (default /dev)\n"
         L"  ZNTV_TRACE    file that receives a trace of every frame sent and received\n"
         L"                (readable by its owner only; a symbolic link is refused)\n"
         L"  ZNTV_NO_PROGRESS  when set, no progress line on a terminal's standard error\n"
         L"\n"
         L"See zntv-upgrade(1).\n";
}

bool AcceptRunTimeEnvironment() {
  for (const host::sPathVariable& variable : {host::kProgramFilesVariable, host::kSysfsVariable, host::kDevVariable}) {
    const std::string path = host::NativePathFromEnvironment(variable);
    if (path.front() == '/') continue;
    platform::ConsoleExplain(
        L"zntv-upgrade: %s is a relative path (%ls), which would be read from the current directory; "
        L"give an absolute path, or unset it for %s\n",
        variable.name, text::PrintableText(host::FromNativePath(path)).c_str(), variable.fallback);
    return false;
  }
  return true;
}
