// The host-side traces of the simulated module under one root directory: a
// sysfs tree whose class/tty entry leads to a USB interface, a device
// directory whose port name links to the pseudo-terminal, and the installed
// description file that makes the module a configured one. Main thread only.
#pragma once
#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/module_sim/sim_options.h"

namespace sim {

// Something that shows the module as present on the bus, or not.
class cBusPresence {
 public:
  virtual ~cBusPresence() = default;
  // The module appeared; its serial line is the terminal at slavePath.
  virtual void Attach(const std::filesystem::path& slavePath) = 0;
  // The module left the bus.
  virtual void Detach() = 0;
};

// Installs the description file that makes the module a configured one:
// <programFiles>/Zantrova/Images/<name>/<VVVVPPPP>.did, whose first line names
// the serial interface at position 2.
void WriteDescriptionFile(const std::filesystem::path& programFiles, const sDeviceOptions& options);

class cSimRoot final : public cBusPresence {
 public:
  // Creates the directories and the description file; throws
  // std::runtime_error when the file system refuses.
  explicit cSimRoot(const sDeviceOptions& options);
  ~cSimRoot() override;
  cSimRoot(const cSimRoot&) = delete;
  cSimRoot& operator=(const cSimRoot&) = delete;

  void Attach(const std::filesystem::path& slavePath) override;
  void Detach() override;

  std::filesystem::path ProgramFiles() const { return root_ / "programfiles"; }
  std::filesystem::path Sysfs() const { return root_ / "sys"; }
  std::filesystem::path DevDir() const { return root_ / "dev"; }
  std::filesystem::path PortName() const { return DevDir() / options_.entry; }
  // "vid_0a1b&pid_2c3d&mi_02"
  std::string InterfaceIdentity() const;

  // The three environment variables as lines a shell can eval.
  void PrintEnvironment(std::FILE* out) const;

 private:
  std::filesystem::path UsbDeviceDir() const;
  std::filesystem::path InterfaceDir() const;
  void AddSerialConsoleDecoy() const;

  sDeviceOptions options_;
  std::filesystem::path root_;
  bool removeAtExit_ = false;
};

}  // namespace sim
