// The Windows conventions: the shell's program-files folder, the COM-port
// device interfaces with their registered port names, the trace file for
// support and the switch that keeps the progress line off.
#include "upgrade/run_time_conventions.h"

const wchar_t* RunTimeConventionsHelp() {
  return L"Where it looks:\n"
         L"  configurations  <program-files folder>\\Zantrova\\Images\\<name>\\<VVVVPPPP>.did\n"
         L"  module          COM-port device interfaces and their registered PortName\n"
         L"Environment:\n"
         L"  ZNTV_TRACE      file that receives a trace of every frame sent and received\n"
         L"  ZNTV_NO_PROGRESS  when set, no progress line on a console's standard error\n"
         L"\n"
         L"See README.txt, which comes with the program.\n";
}

bool AcceptRunTimeEnvironment() { return true; }
