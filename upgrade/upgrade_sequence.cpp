// The upgrade run. Only the streaming phase decides the outcome: entering
// download mode and loading the programmer go on to the next phase whatever
// they report, since a module already in its downloader or already running
// the programmer can still take the image.
#include "upgrade/upgrade_sequence.h"

#include <string>

#include "device/diag/diag_phase.h"
#include "device/dl/dl_phase.h"
#include "device/sdl/sdl_phase.h"
#include "host/configuration.h"
#include "host/device_lookup.h"
#include "host/failure_hints.h"
#include "image/hex_file.h"
#include "image/memory_mapped_file.h"
#include "platform/stop_requests.h"
#include "report/reporter.h"

namespace {

// The configured module at the requested port, or the first one; an empty
// port name when there is none.
host::sModulePort ChooseModule(const std::wstring& requestedPort) {
  for (host::sModulePort& module : host::ListDeviceModules()) {
    if (requestedPort.empty() || host::NamesPort(requestedPort, module.portName)) return std::move(module);
  }
  return {};
}

}  // namespace

bool RunUpgrade(const std::wstring& requestedPort, report::cSink& sink, host::cModemManagerInhibition& modemManager) {
  const report::cReporter lookup(sink, report::eStage::Lookup);
  host::cFollowedModule module(ChooseModule(requestedPort), !requestedPort.empty());
  if (module.PortName().empty()) {
    lookup.Failure({}, L"Unable to locate device");
    host::ExplainMissingDevice(lookup, host::ProcessConfigurationMap(), requestedPort);
    return false;
  }
  lookup.Port(module.PortName());
  const cMemoryMappedFile image(platform::GetProgramModule(), kDeviceImageResourceId);
  if (image.Error != 0) {
    lookup.Failure({.error = image.Error}, L"Unable to open image file");
    return false;
  }
  const cHexFile programmer(platform::GetProgramModule());
  if (programmer.Error != 0) {
    lookup.Failure({.error = programmer.Error}, L"Unable to open flash programmer file");
    return false;
  }
  modemManager.Inhibit(module.UsbDevice(), lookup);
  EnterDownloadMode(module, sink);
  // The module is written from here on, even when it never left its
  // firmware's DIAG conversation (one left in its downloader by a cut-off
  // upgrade).
  platform::FinishBeforeStopping(module.PortName());
  LoadProgrammer(programmer, module, sink);
  return StreamImage(image, module, sink);
}
