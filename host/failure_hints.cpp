// Explanations of a failed start: the texts, and reporting each line once.
#include "host/failure_hints.h"

#include <set>

#include "host/device_search.h"
#include "host/file_system.h"
#include "text/printable_text.h"

namespace host {

namespace {

// Hints carry names that other users choose (process names, directory and
// group names, device attributes): their control characters are shown, not
// sent to the terminal.
void Explain(const report::cReporter& reporter, const std::vector<std::wstring>& lines) {
  static std::set<std::wstring> said;
  for (const std::wstring& line : lines) {
    if (said.insert(line).second) reporter.Note(L"zntv-upgrade: %ls", text::PrintableText(line).c_str());
  }
}

std::wstring Joined(const std::vector<std::wstring>& parts) {
  std::wstring text;
  for (const std::wstring& part : parts) text += (text.empty() ? L"" : L", ") + part;
  return text;
}

}  // namespace

std::vector<std::wstring> MissingConfigurationHints(const std::wstring& installFolder) {
  const wchar_t separator = kPathSeparator;
  const std::wstring pattern = installFolder + L"Images" + separator + L"*" + separator + L"????????.did";
  return {L"no usable description file matches " + pattern,
          L"a description file is named after the module's USB vendor and product (VVVVPPPP.did, in hex), "
          L"and the third field of its first line names the serial interface (e.g. modem,mi_00,mi_02,diag)"};
}

std::vector<sSeenInterface> ListSeenInterfaces(cComPortInterfaces& interfaces) {
  std::vector<sSeenInterface> seen;
  std::wstring path;
  for (uint32_t index = 0; interfaces.GetDevicePath(index, path); ++index) {
    sDeviceInterfaceKey key;
    if (SplitDevicePath(path, key)) seen.push_back({key.identity, interfaces.ReadPortName(index, key)});
  }
  return seen;
}

std::vector<std::wstring> MissingDeviceHints(const ConfigurationMap& configurations,
                                             const std::vector<sSeenInterface>& seen) {
  std::vector<std::wstring> wanted;
  for (const auto& [key, configuration] : configurations) wanted.push_back(key);
  std::vector<std::wstring> present;
  for (const sSeenInterface& interface : seen) {
    present.push_back(interface.identity +
                      (interface.portName.empty() ? L" without a port" : L" at " + interface.portName));
  }
  return {L"looked for a serial port of USB interface " + Joined(wanted),
          L"USB serial interfaces present: " + (present.empty() ? std::wstring(L"none") : Joined(present))};
}

std::wstring MissingPortHint(const std::wstring& requestedPort, const std::vector<sModulePort>& modules) {
  std::vector<std::wstring> ports;
  for (const sModulePort& module : modules) ports.push_back(module.portName);
  return L"no configured module at " + requestedPort + L"; configured modules present: " +
         (ports.empty() ? std::wstring(L"none") : Joined(ports));
}

std::wstring VanishedPortHint(const std::wstring& portName) {
  return portName +
         L" vanished before it could be opened: the module left the bus "
         L"(unplugged, or restarting and not back in time)";
}

std::wstring UnexplainedPortHint(const std::wstring& portName, uint32_t error) {
  return L"cannot open " + portName + L" as a serial line (system error " + std::to_wstring(error) + L")";
}

void ExplainMissingConfiguration(const report::cReporter& reporter) {
  Explain(reporter, MissingConfigurationHints(GetInstallFolder()));
}

void ExplainMissingDevice(const report::cReporter& reporter, const ConfigurationMap& configurations,
                          const std::wstring& requestedPort) {
  std::unique_ptr<cComPortInterfaces> interfaces = OpenPresentComPortInterfaces();
  if (!interfaces) {
    Explain(reporter, MissingDeviceHints(configurations, {}));
    return;
  }
  const std::vector<sModulePort> modules = FindConfiguredModules(*interfaces, configurations);
  if (requestedPort.empty() || modules.empty()) {
    Explain(reporter, MissingDeviceHints(configurations, ListSeenInterfaces(*interfaces)));
  }
  if (!requestedPort.empty()) Explain(reporter, {MissingPortHint(requestedPort, modules)});
}

void ExplainPortFailure(const report::cReporter& reporter, const std::wstring& portName, uint32_t error) {
  if (error != 0) Explain(reporter, PortFailureHints(portName, error));
}

}  // namespace host
