// Linux instance runner: posix_spawn of the running program itself
// (/proc/self/exe, which names the file the process runs even after its path
// has been replaced or removed, never a path looked up again) with both
// output streams on pipes, read with poll() on the calling thread, so that
// lines are relayed as they come without a thread per pipe. The instances run
// in a process group of their own, to which the stop-request service passes
// the requests this process receives: an interrupt key reaches them once,
// through this process, and not twice.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "platform/child_process.h"
#include "platform/errors.h"
#include "platform/handle.h"
#include "platform/stop_requests_posix.h"
#include "text/line_assembler.h"
#include "text/utf8.h"

extern char** environ;

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kOwnProgram[] = "/proc/self/exe";
constexpr char kProgramName[] = "zntv-upgrade";

// One output stream of one instance.
struct sChildPipe {
  size_t instance;
  eChildStream stream;
  cHandle readEnd;
  text::cLineAssembler lines;
};

struct sChild {
  pid_t pid = -1;  // -1: not started
  sStatus startStatus;
  Clock::time_point lastOutput;
  bool notFinished = false;
};

// A null-terminated array of pointers into texts, as exec wants it.
std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Starts one instance in process group `group` (0: a new one, led by it),
// with its standard output and error on new pipes, whose read ends are
// appended to pipes; 0, or the error that kept it from starting. The pipes
// are made close-on-exec, so that no instance inherits another's.
int Spawn(const sInstance& instance, size_t index, pid_t group, std::vector<sChildPipe>& pipes, pid_t& child) {
  std::vector<std::string> texts{kProgramName};
  for (const std::wstring& argument : instance.arguments) texts.push_back(text::WideToUtf8(argument));
  std::vector<std::string> ownEnvironment;
  for (char** entry = environ; *entry != nullptr; ++entry) ownEnvironment.emplace_back(*entry);
  std::vector<std::string> environment = ReplacedEnvironment(ownEnvironment, instance.environment);
  const std::vector<char*> argv = Pointers(texts), envp = Pointers(environment);
  std::array<int, 2> output{-1, -1}, error{-1, -1};
  if (pipe2(output.data(), O_CLOEXEC) != 0) return errno;
  cHandle outputRead(output[0]), outputWrite(output[1]);
  if (pipe2(error.data(), O_CLOEXEC) != 0) return errno;
  cHandle errorRead(error[0]), errorWrite(error[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outputWrite.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errorWrite.Get(), STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, group);
  const int spawned = posix_spawn(&child, kOwnProgram, &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return spawned;
  pipes.push_back({index, eChildStream::Output, std::move(outputRead), {}});
  pipes.push_back({index, eChildStream::Error, std::move(errorRead), {}});
  return 0;
}

// Reads what is waiting on one pipe; false once it has ended.
bool Drain(sChildPipe& pipe, const ChildLineHandler& onLine) {
  char buffer[4096];
  const ssize_t got = read(pipe.readEnd.Get(), buffer, sizeof buffer);
  if (got < 0 && errno == EINTR) return true;
  const auto relay = [&pipe, &onLine](std::string_view line) { onLine(pipe.instance, pipe.stream, line); };
  if (got <= 0) {
    pipe.lines.Finish(relay);
    return false;
  }
  pipe.lines.Feed(std::string_view(buffer, static_cast<size_t>(got)), relay);
  return true;
}

// Gives up the pipes of every instance that has been silent for the limit,
// saying so once per instance.
void LeaveSilentOnes(std::vector<sChildPipe>& pipes, std::vector<sChild>& children,
                     std::chrono::milliseconds silenceLimit, const InstanceEndHandler& onGivenUp) {
  const Clock::time_point now = Clock::now();
  for (size_t i = pipes.size(); i-- > 0;) {
    sChild& child = children[pipes[i].instance];
    if (now - child.lastOutput < silenceLimit) continue;
    if (!child.notFinished) onGivenUp(pipes[i].instance, {eInstanceEnd::NotFinished, -1, {}});
    child.notFinished = true;
    pipes.erase(pipes.begin() + static_cast<long>(i));
  }
}

// Milliseconds until the first of the instances still writing reaches the
// silence limit.
int TimeLeft(const std::vector<sChildPipe>& pipes, const std::vector<sChild>& children,
             std::chrono::milliseconds silenceLimit) {
  Clock::time_point first = Clock::time_point::max();
  for (const sChildPipe& pipe : pipes) first = std::min(first, children[pipe.instance].lastOutput + silenceLimit);
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(first - Clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 1 << 30));
}

void RelayUntilClosed(std::vector<sChildPipe>& pipes, std::vector<sChild>& children,
                      std::chrono::milliseconds silenceLimit, const ChildLineHandler& onLine,
                      const InstanceEndHandler& onGivenUp) {
  for (LeaveSilentOnes(pipes, children, silenceLimit, onGivenUp); !pipes.empty();
       LeaveSilentOnes(pipes, children, silenceLimit, onGivenUp)) {
    std::vector<pollfd> watched;
    for (const sChildPipe& pipe : pipes) watched.push_back({pipe.readEnd.Get(), POLLIN, 0});
    if (poll(watched.data(), watched.size(), TimeLeft(pipes, children, silenceLimit)) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (size_t i = watched.size(); i-- > 0;) {
      if (watched[i].revents == 0) continue;
      children[pipes[i].instance].lastOutput = Clock::now();
      if (!Drain(pipes[i], onLine)) pipes.erase(pipes.begin() + static_cast<long>(i));
    }
  }
}

sInstanceEnd WaitForExit(const sChild& child) {
  if (child.pid < 0) return {eInstanceEnd::NotStarted, -1, child.startStatus};
  if (child.notFinished) return {eInstanceEnd::NotFinished, -1, {}};
  int status = 0;
  while (waitpid(child.pid, &status, 0) < 0) {
    if (errno != EINTR) return {eInstanceEnd::Lost, -1, {}};
  }
  if (!WIFEXITED(status)) return {eInstanceEnd::Lost, -1, {}};
  return {eInstanceEnd::Exited, WEXITSTATUS(status), {}};
}

}  // namespace

std::vector<sInstanceEnd> RunProgramInstances(const std::vector<sInstance>& instances, const ChildLineHandler& onLine,
                                              const InstanceEndHandler& onGivenUp,
                                              std::chrono::milliseconds silenceLimit) {
  std::vector<sChildPipe> pipes;
  std::vector<sChild> children(instances.size());
  pid_t group = 0;
  for (size_t i = 0; i < instances.size(); ++i) {
    const int error = Spawn(instances[i], i, group, pipes, children[i].pid);
    if (error != 0) {
      children[i].pid = -1;
      errno = error;
      children[i].startStatus = LastErrorStatus();
      onGivenUp(i, WaitForExit(children[i]));
      continue;
    }
    children[i].lastOutput = Clock::now();
    if (group == 0) SetStopRecipients(group = children[i].pid);
  }
  RelayUntilClosed(pipes, children, silenceLimit, onLine, onGivenUp);
  // Once reaped, a leader's number may be given to another process.
  SetStopRecipients(0);
  std::vector<sInstanceEnd> ends;
  for (const sChild& child : children) ends.push_back(WaitForExit(child));
  return ends;
}

std::wstring InstanceProgram() { return text::Utf8ToWide(kOwnProgram); }

}  // namespace platform
