// The Linux conventions: environment variables that move the program-files
// folder, the sysfs tree and the device directory (tests and the module
// simulator use them), and the trace file for support.
#include "upgrade/run_time_conventions.h"

const wchar_t* RunTimeConventionsHelp() {
  return L"Environment:\n"
         L"  PROGRAMFILES  program-files folder (default /opt); configurations are\n"
         L"                $PROGRAMFILES/Zantrova/Images/<name>/<VVVVPPPP>.did\n"
         L"  SYSFS_PATH    sysfs root searched for USB serial interfaces (default /sys)\n"
         L"  DEV_PATH      directory of the serial port device nodes (default /dev)\n"
         L"  ZNTV_TRACE    file that receives a trace of every frame sent and received\n"
         L"\n"
         L"See zntv-upgrade(1).\n";
}
