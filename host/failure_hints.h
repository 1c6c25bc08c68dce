// Explanations of a failed start, reported as notes beside the failing line
// (standard error on the console), for the person at the console: where the
// program looked for configurations, which module it looked for and which
// serial interfaces it saw instead, and why the module's port could not be
// opened. Each note is "zntv-upgrade: " and one explanation line, reported at
// most once per run, however often its failure repeats (the three phases may
// fail to open the port alike), with the control characters of the names in
// it escaped (text::PrintableText).
//
// Threads: main thread only.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "host/com_port_interfaces.h"
#include "host/configuration.h"
#include "report/reporter.h"

namespace host {

// After "Required software not found": the description-file pattern searched.
void ExplainMissingConfiguration(const report::cReporter& reporter);
// After "Unable to locate device": the interfaces wanted, and those present;
// for a port the user named (not empty), the configured modules' ports.
void ExplainMissingDevice(const report::cReporter& reporter, const ConfigurationMap& configurations,
                          const std::wstring& requestedPort);
// After a failed connect to portName; error is the system's error code of the
// failed open or set-up (nothing is said for 0).
void ExplainPortFailure(const report::cReporter& reporter, const std::wstring& portName, uint32_t error);

// The texts behind them, without the program's name in front.
std::vector<std::wstring> MissingConfigurationHints(const std::wstring& installFolder);

// One serial interface present: its interface identity and port name (empty
// when it has none).
struct sSeenInterface {
  std::wstring identity;
  std::wstring portName;
};
std::vector<sSeenInterface> ListSeenInterfaces(cComPortInterfaces& interfaces);
std::vector<std::wstring> MissingDeviceHints(const ConfigurationMap& configurations,
                                             const std::vector<sSeenInterface>& seen);
std::wstring MissingPortHint(const std::wstring& requestedPort, const std::vector<sModulePort>& modules);

// The platform's reading of a port that could not be opened (see
// port_access_*.cpp), built from the texts below where they fit.
std::vector<std::wstring> PortFailureHints(const std::wstring& portName, uint32_t error);
std::wstring VanishedPortHint(const std::wstring& portName);
std::wstring UnexplainedPortHint(const std::wstring& portName, uint32_t error);

}  // namespace host
