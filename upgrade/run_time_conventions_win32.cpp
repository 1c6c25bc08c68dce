// The Windows conventions: the shell's program-files folder, the COM-port
// device interfaces with their registered port names, and the trace file for
// support.
#include "upgrade/run_time_conventions.h"

const wchar_t* RunTimeConventionsHelp() {
  return L"Where it looks:\n"
         L"  configurations  <program-files folder>\\Zantrova\\Images\\<name>\\<VVVVPPPP>.did\n"
         L"  module          COM-port device interfaces and their registered PortName\n"
         L"Environment:\n"
         L"  ZNTV_TRACE      file that receives a trace of every frame sent and received\n"
         L"\n"
         L"See README.txt, which comes with the program.\n";
}

bool AcceptRunTimeEnvironment() { return true; }
