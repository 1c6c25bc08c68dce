// Shows the simulated module to Windows programs run under Wine: COMn is its
// port name link (so it opens whichever terminal the module has now, and
// fails while the module is off the bus), and its serial interface is a
// present COM-port device interface with a PortName in the Wine registry, so
// that the updater's unchanged SetupAPI lookup finds it. Leaving the bus
// removes the interface from the registry. Main thread only.
#pragma once
#include <string>

#include "tools/module_sim/sim_root.h"

namespace sim {

class cWineRegistration final : public cBusPresence {
 public:
  // identity: "vid_0a1b&pid_2c3d&mi_02"; module: which Linux port name links
  // the module shows, by stage. Module n (0-based) is COM<comNumber + n>.
  // Writes the device's registry entry (without its interface), the COM port
  // mapping and the description file below the program-files folder of
  // 32-bit programs (C:\Program Files (x86) in a 64-bit prefix) at once; throws
  // std::runtime_error when Wine refuses.
  cWineRegistration(const sWineOptions& wine, const sDeviceOptions& device, const std::string& identity,
                    const cUsbModule& module, unsigned index);
  ~cWineRegistration() override;
  cWineRegistration(const cWineRegistration&) = delete;
  cWineRegistration& operator=(const cWineRegistration&) = delete;

  // The COM port leads to the port name link of the stage.
  void Attach(const std::filesystem::path& slavePath, eStage stage) override;
  void Detach() override;

 private:
  std::filesystem::path DosDevice() const;
  std::filesystem::path ProgramFilesOf32BitPrograms() const;
  std::string InterfaceKey() const;
  // Imports a .reg text with regedit in the prefix; throws when it fails.
  void Import(const std::string& regText) const;

  sWineOptions wine_;
  const cUsbModule& module_;
  unsigned comNumber_;
  std::string hardwareId_;  // "VID_0A1B&PID_2C3D&MI_02"
  std::string instance_;
  std::string importFile_;
  bool attached_ = false;
};

}  // namespace sim
