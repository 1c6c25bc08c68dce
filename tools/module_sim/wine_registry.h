// Shows the simulated module to Windows programs run under Wine: its pty as
// $WINEPREFIX/dosdevices/comN, and its serial interface as a present COM-port
// device interface with a PortName in the Wine registry, so that the
// updater's unchanged SetupAPI lookup finds it. Leaving the bus unlinks the
// interface and the DOS device. Main thread only.
#pragma once
#include <string>

#include "tools/module_sim/sim_root.h"

namespace sim {

class cWineRegistration final : public cBusPresence {
 public:
  // identity: "vid_0a1b&pid_2c3d&mi_02". Writes the device's registry entry
  // (without its interface) at once; throws std::runtime_error when Wine
  // refuses.
  cWineRegistration(const sWineOptions& wine, const sDeviceOptions& device, const std::string& identity);
  ~cWineRegistration() override;
  cWineRegistration(const cWineRegistration&) = delete;
  cWineRegistration& operator=(const cWineRegistration&) = delete;

  void Attach(const std::filesystem::path& slavePath) override;
  void Detach() override;

 private:
  std::filesystem::path DosDevice() const;
  std::string InterfaceKey() const;
  // Imports a .reg text with regedit in the prefix; throws when it fails.
  void Import(const std::string& regText) const;

  sWineOptions wine_;
  std::string hardwareId_;  // "VID_0A1B&PID_2C3D&MI_02"
  std::string instance_;
  bool attached_ = false;
};

}  // namespace sim
