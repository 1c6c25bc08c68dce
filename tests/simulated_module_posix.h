// The module simulator for tests that run phases or a whole upgrade inside
// the test program: started with the test's arguments, its tree's folders
// set in the environment, its configuration taken into the process's
// configuration map, and ended with the object. ZNTV_SIMULATOR names the
// simulator (the build's own, or in a cross build the one built for this
// host).
//
// Threads: the test's own thread, before the code under test starts any.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "host/configuration.h"
#include "host/device_lookup.h"
#include "text/utf8.h"

extern char** environ;

namespace test_support {

inline constexpr const char* kSimulatorSettings[] = {"PROGRAMFILES", "SYSFS_PATH", "DEV_PATH"};

// One simulated module, from construction until destruction, which ends it:
// its tree's folders are this process's environment meanwhile, and the
// configuration it installed is the process's configuration map.
class cSimulatedModule {
 public:
  explicit cSimulatedModule(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {ZNTV_SIMULATOR, "--idle-timeout", "20000"});
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const bool started = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    output_ = fdopen(out[0], "r");
    if (!started) pid_ = -1;
    ready_ = started && output_ != nullptr && TakeSettings();
    host::ConfigurationMap found;
    if (ready_) host::ProcessConfigurationMap() = host::FindConfigurations(host::KindSet{}, found);
  }

  ~cSimulatedModule() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ != nullptr) std::fclose(output_);
    host::ProcessConfigurationMap().clear();
    for (const char* name : kSimulatorSettings) unsetenv(name);
  }
  cSimulatedModule(const cSimulatedModule&) = delete;
  cSimulatedModule& operator=(const cSimulatedModule&) = delete;

  bool Ready() const { return ready_; }

  // The module as the lookup finds it at the start of a run.
  host::cFollowedModule Found() const {
    const std::vector<host::sModulePort> modules = host::ListDeviceModules();
    return host::cFollowedModule(modules.empty() ? host::sModulePort{} : modules.front(), false);
  }

  // The port of tty in the simulator's device directory.
  static std::wstring Port(const std::string& tty) {
    const char* dev = getenv("DEV_PATH");
    return text::Utf8ToWide(std::string(dev == nullptr ? "" : dev) + "/" + tty);
  }

 private:
  // The three "export NAME='value'" lines the simulator starts with.
  bool TakeSettings() {
    for (const char* name : kSimulatorSettings) {
      char line[4096];
      if (std::fgets(line, sizeof line, output_) == nullptr) return false;
      const std::string text(line);
      const std::string head = std::string("export ") + name + "='";
      const size_t end = text.rfind('\'');
      if (text.rfind(head, 0) != 0 || end < head.size()) return false;
      if (setenv(name, text.substr(head.size(), end - head.size()).c_str(), 1) != 0) return false;
    }
    return true;
  }

  pid_t pid_ = -1;
  FILE* output_ = nullptr;
  bool ready_ = false;
};

}  // namespace test_support
