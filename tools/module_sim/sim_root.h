// The host-side traces of the simulated modules under one root directory: a
// sysfs tree whose class/tty entries lead to USB interfaces, a device
// directory whose port names link to the pseudo-terminals, and the installed
// description file that makes the modules configured ones. Single-threaded;
// the modules of one root may each be served by a process of its own.
#pragma once
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/module_sim/sim_options.h"
#include "tools/module_sim/sim_waiter.h"

namespace sim {

// Something that shows the module as present on the bus, or not.
class cBusPresence {
 public:
  virtual ~cBusPresence() = default;
  // The module appeared in stage; its serial line is the terminal at
  // slavePath.
  virtual void Attach(const std::filesystem::path& slavePath, eStage stage) = 0;
  // The module left the bus.
  virtual void Detach() = 0;
};

// Installs the description file that makes the module a configured one:
// <programFiles>/Zantrova/Images/<name>/<VVVVPPPP>.did, whose first line names
// the serial interface at position 2.
void WriteDescriptionFile(const std::filesystem::path& programFiles, const sDeviceOptions& options);

// The root with its directories and description file; removed at exit when
// the simulator made it.
class cSimRoot {
 public:
  // Creates the directories and the description file, in a new temporary
  // root or in the one options name: that one must be new (it is made with
  // mode 0700) or an empty directory of the running user with mode 0700, and
  // the folders above either must pass the traffic trace's checks
  // (platform/safe_path_posix.h). Throws std::runtime_error saying why when
  // refused, or when the file system refuses.
  explicit cSimRoot(const sDeviceOptions& options);
  ~cSimRoot();
  cSimRoot(const cSimRoot&) = delete;
  cSimRoot& operator=(const cSimRoot&) = delete;

  std::filesystem::path ProgramFiles() const { return root_ / "programfiles"; }
  std::filesystem::path Sysfs() const { return root_ / "sys"; }
  std::filesystem::path DevDir() const { return root_ / "dev"; }
  // "vid_0a1b&pid_2c3d&mi_02"
  std::string InterfaceIdentity() const;

  // The three environment variables as lines a shell can eval.
  void PrintEnvironment(std::FILE* out) const;

 private:
  void AddSerialConsoleDecoy() const;

  sDeviceOptions options_;
  std::filesystem::path root_;
  bool removeAtExit_ = false;
};

// One module in the root's sysfs tree and device directory, at its USB
// location and under its tty entry of the stage it comes back in, with a new
// device number at each enumeration. A location of the kernel's shape
// (<bus>-<port>[.<port>...]) sits on that bus with a `port` link to its hub
// port, which has a `peer` link to the twin port when the module has one.
class cUsbModule final : public cBusPresence {
 public:
  cUsbModule(const cSimRoot& root, const sDeviceOptions& options, const sModulePlace& place, cWaiter& waiter,
             unsigned idleTimeoutMs);
  ~cUsbModule() override;
  cUsbModule(const cUsbModule&) = delete;
  cUsbModule& operator=(const cUsbModule&) = delete;

  // A tty entry another module of the root still holds is waited for, as a
  // kernel gives a name again only once its holder has gone; throws
  // cRunEnded(IdleTimeout) when it stays taken.
  void Attach(const std::filesystem::path& slavePath, eStage stage) override;
  void Detach() override;

  // The port name link of the stage.
  std::filesystem::path PortName(eStage stage) const;

 private:
  std::filesystem::path UsbDeviceDir(const std::string& location) const;
  void LinkHubPort(const std::filesystem::path& device, const std::string& location) const;
  void LinkTwinPorts() const;
  // One tty entry of the serial interface, claimed, with its port name
  // leading to slavePath.
  void AddTty(const std::filesystem::path& interface, const std::string& entry, const std::filesystem::path& slavePath);
  void ClaimEntry(const std::string& entry, const std::filesystem::path& interface);

  const cSimRoot& root_;
  sDeviceOptions options_;
  sModulePlace place_;
  cWaiter& waiter_;
  unsigned idleTimeoutMs_;
  std::vector<std::string> attachedEntries_;  // empty while off the bus
  std::filesystem::path attachedDevice_;
  unsigned enumerations_ = 0;
};

}  // namespace sim
