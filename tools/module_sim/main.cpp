// zntv-module-sim: plays one module, or several at different USB locations in
// one sysfs tree, for an upgrade (or one after another) on pseudo-terminals,
// and reports what each was sent. Several modules, and modules that serve
// several upgrades, are served by one child process each, so that every
// module keeps the single-threaded run of one; the parent passes commands
// from the control FIFO on to them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "framing/traffic_trace.h"
#include "platform/console.h"
#include "platform/handle.h"
#include "text/utf8.h"
#include "tools/module_sim/control_fifo.h"
#include "tools/module_sim/module_run.h"
#include "tools/module_sim/module_station.h"
#include "tools/module_sim/sim_options.h"
#include "tools/module_sim/wine_registry.h"

namespace {

constexpr int kExitReset = 0, kExitImageMismatch = 1, kExitSetup = 2, kExitNoReset = 3;

int ExitStatus(const sim::sSimOptions& options, const sim::sRunRecord& record, const std::string& label) {
  bool imageMatches = true;
  if (!options.record.expectImage.empty()) {
    imageMatches = sim::VerifyFlash(record, options.sdl.baseAddress, options.record.expectImage, label, stdout);
  }
  if (!imageMatches) return kExitImageMismatch;
  return record.end == sim::eRunEnd::Reset ? kExitReset : kExitNoReset;
}

// With several modules, each one's files and lines carry its location.
struct sModuleNames {
  std::string label;  // "module 1-3: ", or empty for a lone module
  std::filesystem::path recordDir;
  std::filesystem::path trace;
};

sModuleNames NamesOfModule(const sim::sSimOptions& options, const sim::sModulePlace& place) {
  if (options.device.modules == 1) return {"", options.record.recordDir, options.record.trace};
  const auto within = [&place](const std::filesystem::path& path) {
    return path.empty() ? path : path / place.location;
  };
  std::filesystem::path trace = options.record.trace;
  if (!trace.empty()) trace += "." + place.location;
  return {"module " + place.location + ": ", within(options.record.recordDir), trace};
}

// The options of the module at place: without the misbehaviour when faults
// were asked for at other modules only.
sim::sSimOptions OptionsOfModule(const sim::sSimOptions& options, const sim::sModulePlace& place) {
  const std::vector<std::string>& faulty = options.device.faultyLocations;
  sim::sSimOptions own = options;
  if (!faulty.empty() && std::find(faulty.begin(), faulty.end(), place.location) == faulty.end()) {
    own.misbehaviour = {};
  }
  return own;
}

// The run of a module that serves one upgrade, as set up by ServeModule.
int ServeOneUpgrade(const sim::sSimOptions& options, const sim::cSimRoot& root, const sim::sModulePlace& place,
                    const sModuleNames& names, sim::cWaiter& waiter, sim::cPtyLink& link, sim::cBusPresence& presence,
                    const std::function<void()>& onFirstAttach) {
  sim::sRunRecord record;
  sim::cResponder responder(link, options.misbehaviour, record, options.record.verbose);
  try {
    sim::ServeUpgrade(options, waiter, link, responder, presence, record, onFirstAttach);
    if (record.end == sim::eRunEnd::NeverReturned && !place.intruder.empty()) {
      sim::ServeIntruder(options, root, place, waiter, record);
    }
  } catch (const sim::cRunEnded& ended) {
    record.end = ended.Reason();
    link.Close();
    presence.Detach();
  }
  sim::ReportEvent(std::string("run ends: ") + sim::RunEndName(record.end));
  if (!names.recordDir.empty()) sim::WriteRecords(record, names.recordDir);
  return ExitStatus(options, record, names.label);
}

int StationStatus(const sim::sStationOutcome& outcome) {
  if (!outcome.imagesMatch) return kExitImageMismatch;
  return outcome.resets == outcome.upgrades ? kExitReset : kExitNoReset;
}

// One module's whole run; onFirstAttach runs once it is on the bus (or set
// up, when it starts unplugged). commands: the module's plug and unplug
// commands, for a module that serves several upgrades.
int ServeModule(const sim::sSimOptions& allOptions, const sim::cSimRoot& root, unsigned index,
                const std::function<void()>& onFirstAttach, int commands) {
  const sim::sModulePlace place = sim::PlaceOfModule(allOptions.device, index);
  const sim::sSimOptions options = OptionsOfModule(allOptions, place);
  const sModuleNames names = NamesOfModule(options, place);
  sim::SetReportLabel(names.label);
  sim::cWaiter waiter;
  sim::cUsbModule module(root, options.device, place, waiter, options.timing.idleTimeoutMs);
  sim::cPresenceList presence;
  presence.Add(module);
  std::optional<sim::cWineRegistration> wine;
  if (!options.wine.prefix.empty()) {
    wine.emplace(options.wine, options.device, root.InterfaceIdentity(), module, index);
    presence.Add(*wine);
  }
  sim::cPtyLink link(waiter, options.timing, options.misbehaviour);
  const std::unique_ptr<cTrafficTrace> trace =
      names.trace.empty() ? nullptr
                          : cTrafficTrace::Open(platform::cOutputFile::AtPath(names.trace.string()), "zntv-module-sim",
                                                [](const std::string& note) {
                                                  platform::ConsoleExplain(L"%ls\n", text::Utf8ToWide(note).c_str());
                                                });
  if (!names.trace.empty() && !trace) return kExitSetup;
  link.TraceTo(trace.get());
  if (!sim::ServesSeveralUpgrades(options)) {
    return ServeOneUpgrade(options, root, place, names, waiter, link, presence, onFirstAttach);
  }
  sim::cStation station(options, waiter, link, presence, names.recordDir, names.label);
  return StationStatus(station.Run(commands, sim::StartsUnplugged(options.device, place), onFirstAttach));
}

// Each module process's end of the commands its parent sends it.
struct sCommandPipes {
  std::vector<platform::cHandle> reads, writes;
};

sCommandPipes MakeCommandPipes(unsigned modules) {
  sCommandPipes pipes;
  for (unsigned index = 0; index < modules; ++index) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot make a command pipe");
    pipes.reads.emplace_back(ends[0]);
    pipes.writes.emplace_back(ends[1]);
  }
  return pipes;
}

// A module served in a child process: it writes one byte to ready once on the
// bus, and its end closes its copy of ready. It keeps only its own end of the
// command pipes, so that the parent's end is the only writer.
pid_t StartModule(const sim::sSimOptions& options, const sim::cSimRoot& root, unsigned index, int ready,
                  sCommandPipes& commands) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("cannot start a process for each module");
  if (child != 0) return child;
  for (unsigned other = 0; other < commands.reads.size(); ++other) {
    commands.writes[other].Close();
    if (other != index) commands.reads[other].Close();
  }
  int status = kExitSetup;
  try {
    status = ServeModule(
        options, root, index,
        [ready] {
          const char byte = 1;
          if (write(ready, &byte, 1) != 1) throw std::runtime_error("cannot announce the module");
        },
        commands.reads[index].Get());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zntv-module-sim: %s\n", error.what());
  }
  std::fflush(nullptr);
  _exit(status);  // the root belongs to the parent
}

// Passes each command line on to the module it names; quit ends every module
// as a stop signal does.
class cCommandRelay {
 public:
  cCommandRelay(const sim::sSimOptions& options, const std::vector<pid_t>& children, sCommandPipes& pipes)
      : options_(options), children_(children), pipes_(pipes) {}

  void Relay(const std::string& line) {
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string location = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (verb == "quit" && location.empty()) {
      for (pid_t child : children_) kill(child, SIGTERM);
    } else if ((verb == "plug" || verb == "unplug") && !location.empty()) {
      Send(location, verb == "plug" ? sim::kCommandPlug : sim::kCommandUnplug);
    } else {
      std::fprintf(stderr, "zntv-module-sim: unknown command ignored: %s\n", line.c_str());
    }
  }

 private:
  void Send(const std::string& location, char command) {
    for (unsigned index = 0; index < children_.size(); ++index) {
      if (sim::PlaceOfModule(options_.device, index).location != location) continue;
      if (write(pipes_.writes[index].Get(), &command, 1) != 1) {
        std::fprintf(stderr, "zntv-module-sim: module %s takes no commands any more\n", location.c_str());
      }
      return;
    }
    std::fprintf(stderr, "zntv-module-sim: no module at %s; command ignored\n", location.c_str());
  }

  const sim::sSimOptions& options_;
  const std::vector<pid_t>& children_;
  sCommandPipes& pipes_;
};

// Waits until every child has closed ready, announcing the root once all
// modules are on the bus; a stop signal is passed on to the children.
void AwaitModules(sim::cWaiter& waiter, const sim::cSimRoot& root, const std::vector<pid_t>& children, int ready) {
  size_t attached = 0;
  for (;;) {
    try {
      if (waiter.Wait(ready, POLLIN, sim::Clock::time_point::max()) == 0) continue;
    } catch (const sim::cRunEnded&) {
      for (pid_t child : children) kill(child, SIGTERM);
      waiter.ClearSignal();
      continue;
    }
    char bytes[64];
    const ssize_t got = read(ready, bytes, sizeof bytes);
    if (got <= 0) return;
    attached += static_cast<size_t>(got);
    if (attached == children.size()) root.PrintEnvironment(stdout);
  }
}

// 0 only when every module ended in a reset with the expected image;
// otherwise the first other status in module order.
int CombinedStatus(const std::vector<pid_t>& children) {
  int combined = kExitReset;
  for (pid_t child : children) {
    int status = 0;
    const int exit = waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : kExitSetup;
    if (combined == kExitReset) combined = exit;
  }
  return combined;
}

int Simulate(const sim::sSimOptions& options) {
  sim::cSimRoot root(options.device);
  if (options.device.modules == 1 && !sim::ServesSeveralUpgrades(options)) {
    return ServeModule(
        options, root, 0, [&root] { root.PrintEnvironment(stdout); }, -1);
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return kExitSetup;
  platform::cHandle readyRead(ends[0]), readyWrite(ends[1]);
  // Made before the children, which are then born with the stop signals
  // blocked: none is lost before their own waiters receive them.
  sim::cWaiter waiter;
  sCommandPipes commands = MakeCommandPipes(options.device.modules);
  // Made before the children too, so that a refused path starts none; they
  // hold its descriptors without using them.
  std::optional<sim::cControlFifo> control;
  if (!options.station.control.empty()) control.emplace(options.station.control);
  std::vector<pid_t> children;
  for (unsigned index = 0; index < options.device.modules; ++index) {
    children.push_back(StartModule(options, root, index, readyWrite.Get(), commands));
  }
  readyWrite.Close();
  commands.reads.clear();
  cCommandRelay relay(options, children, commands);
  if (control) {
    signal(SIGPIPE, SIG_IGN);  // a module that has ended refuses its commands
    waiter.AlsoWatch(control->Fd(), [&control, &relay] {
      for (const std::string& line : control->TakeLines()) relay.Relay(line);
    });
  }
  AwaitModules(waiter, root, children, readyRead.Get());
  return CombinedStatus(children);
}

}  // namespace

int main(int argc, char** argv) {
  const sim::sParseResult parsed = sim::ParseOptions(argc, argv);
  if (!parsed.options) {
    std::fputs(parsed.message.c_str(), parsed.isHelp ? stdout : stderr);
    return parsed.isHelp ? 0 : kExitSetup;
  }
  try {
    return Simulate(*parsed.options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zntv-module-sim: %s\n", error.what());
    return kExitSetup;
  }
}
