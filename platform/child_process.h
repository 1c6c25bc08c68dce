// Other instances of this program run side by side, with their output relayed
// line by line: the upgrade of every module runs one instance per module.
//
// Threads: the calling thread (the main thread in the program).
#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

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

// Starts this program once per instance, all at once, with standard output
// and standard error on pipes; hands each line to onLine as it completes, one
// call at a time on the calling thread, until every instance has ended. The
// program is the one this process runs, even when its file has since been
// replaced or removed (Linux: the running program itself; Windows: the
// running module's file, which cannot be replaced while it runs). Each
// instance inherits only its own pipes (and, on Windows, no standard input).
// Returns the exit status of each instance, in order: 0 for success, -1 when
// it could not be started, did not exit normally or did not finish. An
// instance that cannot be started hands onLine one line on its error stream
// that says why, as if it had printed it. An instance that writes nothing
// for silenceLimit is past every wait of its own: it is left to itself
// (neither stopped nor waited for), and hands onLine the line
// NotFinishedLine gives.
[[nodiscard]] std::vector<int> RunProgramInstances(const std::vector<sInstance>& instances, const ChildLineHandler& onLine,
                                     std::chrono::milliseconds silenceLimit);

// The program's environment ("NAME=value" entries) with each of
// replacements in place of the entry of the same name, or added at the end.
std::vector<std::string> ReplacedEnvironment(const std::vector<std::string>& environment,
                                             const std::vector<std::string>& replacements);

// The line an instance that could not be started is given: "could not
// start <program>: <reason>".
std::string NotStartedLine(const std::string& program, const std::string& reason);

// The line an instance that did not finish is given: "did not finish: no
// output for <N> s".
std::string NotFinishedLine(std::chrono::milliseconds silenceLimit);

}  // namespace platform
