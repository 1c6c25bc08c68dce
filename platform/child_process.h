// Other instances of this program run side by side, with their output relayed
// line by line: the upgrade of every module runs one instance per module, and
// the station mode one per module plugged in.
//
// Threads: the calling thread (the main thread in the program).
#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace platform {

enum class eChildStream { Output, Error };

// Called with the instance's index, the stream and one whole line (UTF-8, its
// line end removed).
using ChildLineHandler = std::function<void(size_t instance, eChildStream stream, std::string_view line)>;

// One instance: its arguments after the program's name, and environment
// variables ("NAME=value", in the system's encoding of the environment) set
// for it in place of the program's own.
struct sInstance {
  std::vector<std::wstring> arguments;
  std::vector<std::string> environment;
};

// How an instance ended.
enum class eInstanceEnd {
  Exited,       // it exited by itself, with exitStatus
  NotStarted,   // it could not be started: status says why
  NotFinished,  // it wrote nothing for the silence limit and was left to itself
  Lost,         // it was ended by a signal, or its end could not be learnt
};

struct sInstanceEnd {
  eInstanceEnd how = eInstanceEnd::Exited;
  int exitStatus = 0;  // Exited: the status it exited with
  sStatus status;      // NotStarted: the system's code of the failed start
};

// Called as soon as an instance is given up on (NotStarted, NotFinished),
// between the lines handed on, so that what is said about it comes in order.
using InstanceEndHandler = std::function<void(size_t instance, const sInstanceEnd& end)>;

// Why cInstanceRunner::RelayUntil returned.
enum class eRelayWake {
  Deadline,     // the deadline passed
  Ended,        // one or more instances ended (each handed to onEnd)
  StopRequest,  // this process received a stop request and passed it on
};

// Runs instances of this program, started at any time, with standard output
// and standard error on pipes. The program is the one this process runs, even
// when its file has since been replaced or removed (Linux: the running
// program itself; Windows: the running module's file, which cannot be
// replaced while it runs). Each instance inherits only its own pipes (and, on
// Windows, no standard input). An instance that writes nothing for
// silenceLimit is past every wait of its own: it is given up on (NotFinished)
// and left to itself, neither stopped nor waited for. Stop requests that this
// process passes on (PassStopRequestsOn, called before the runner is made)
// reach every running instance and wake RelayUntil.
//
// Threads: the thread that makes the runner calls everything, and the
// handlers run on it, one call at a time, inside Start and RelayUntil.
class cInstanceRunner {
 public:
  using Clock = std::chrono::steady_clock;

  // onLine gets each whole line of an instance as it completes; onEnd each
  // instance's end as soon as it is known, however it ended.
  cInstanceRunner(ChildLineHandler onLine, InstanceEndHandler onEnd, std::chrono::milliseconds silenceLimit);
  ~cInstanceRunner();
  cInstanceRunner(const cInstanceRunner&) = delete;
  cInstanceRunner& operator=(const cInstanceRunner&) = delete;

  // Starts an instance and returns its index (0, 1, ... in the order of the
  // calls). One that cannot be started is handed to onEnd (NotStarted)
  // before this returns.
  size_t Start(const sInstance& instance);
  // Relays the running instances' lines until deadline, until an instance
  // ends, or until a stop request arrives, whichever comes first; waits
  // without a running instance too.
  eRelayWake RelayUntil(Clock::time_point deadline);
  // Instances started and not yet ended or given up on.
  size_t Running() const;

  struct sState;  // each system's own

 private:
  std::unique_ptr<sState> state_;
};

// Starts this program once per instance, all at once, and relays their
// lines (as cInstanceRunner does) until every instance has ended. Returns how
// each instance ended, in order. An instance that cannot be started, or that
// writes nothing for silenceLimit, is handed to onGivenUp at that moment.
[[nodiscard]] std::vector<sInstanceEnd> RunProgramInstances(const std::vector<sInstance>& instances,
                                                            const ChildLineHandler& onLine,
                                                            const InstanceEndHandler& onGivenUp,
                                                            std::chrono::milliseconds silenceLimit);

// The program the instances run, as messages name it.
std::wstring InstanceProgram();

// The program's environment ("NAME=value" entries) with each of
// replacements in place of the entry of the same name, or added at the end.
std::vector<std::string> ReplacedEnvironment(const std::vector<std::string>& environment,
                                             const std::vector<std::string>& replacements);

}  // namespace platform
