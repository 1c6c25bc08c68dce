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
#include <unordered_map>

#include "platform/child_process.h"
#include "platform/errors.h"
#include "platform/handle.h"
#include "platform/instance_book.h"
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
  pid_t pid = -1;
  Clock::time_point lastOutput;
  int openPipes = 0;
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

sInstanceEnd WaitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return {eInstanceEnd::Lost, -1, {}};
  }
  if (!WIFEXITED(status)) return {eInstanceEnd::Lost, -1, {}};
  return {eInstanceEnd::Exited, WEXITSTATUS(status), {}};
}

// Empties the stop-request wake pipe; true when it held a request.
bool TakeStopWake(int wake) {
  bool woken = false;
  char bytes[64];
  while (read(wake, bytes, sizeof bytes) > 0) woken = true;
  return woken;
}

}  // namespace

// The instances run in one process group, led by the first of them, which
// stop requests are passed on to. A group lives while one of its members is
// not reaped, so its number cannot be reused meanwhile; once the last is
// reaped, the next instance starts a new one.
struct cInstanceRunner::sState : sInstanceBook {
  using sInstanceBook::sInstanceBook;

  std::unordered_map<size_t, sChild> children;  // while one of its pipes is open
  std::vector<sChildPipe> pipes;
  pid_t group = 0;
  size_t unreaped = 0;  // members of the group

  // The instance's pipes have both ended: it has exited, or is about to.
  void Reap(size_t instance) {
    // Once its last member is reaped, the group's number may be given to
    // another process: stop requests are no longer passed to it before.
    if (--unreaped == 0) {
      SetStopRecipients(0);
      group = 0;
    }
    const pid_t pid = children.at(instance).pid;
    children.erase(instance);
    End(instance, WaitForExit(pid));
  }

  // Drops pipe i; true when it was its instance's last.
  bool DropPipe(size_t i) {
    const size_t instance = pipes[i].instance;
    pipes.erase(pipes.begin() + static_cast<long>(i));
    return --children.at(instance).openPipes == 0;
  }

  // Gives up the pipes of every instance that has been silent for the limit;
  // the instance is left to itself, never waited for.
  void LeaveSilentOnes() {
    const Clock::time_point now = Clock::now();
    for (size_t i = pipes.size(); i-- > 0;) {
      const size_t instance = pipes[i].instance;
      if (now - children.at(instance).lastOutput < silenceLimit) continue;
      if (IsRunning(instance)) End(instance, {eInstanceEnd::NotFinished, -1, {}});
      if (DropPipe(i)) children.erase(instance);
    }
  }

  // Milliseconds until deadline or until the first of the instances still
  // writing reaches the silence limit, whichever is first.
  int TimeLeft(Clock::time_point deadline) const {
    Clock::time_point first = deadline;
    for (const sChildPipe& pipe : pipes) first = std::min(first, children.at(pipe.instance).lastOutput + silenceLimit);
    if (first == Clock::time_point::max()) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(first - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, 1 << 30));
  }

  // Relays what the ready pipes hold; ended pipes are dropped, and an
  // instance whose both pipes ended is reaped.
  void RelayReady(const std::vector<pollfd>& watched) {
    for (size_t i = pipes.size(); i-- > 0;) {
      if (watched[i].revents == 0) continue;
      const size_t instance = pipes[i].instance;
      children.at(instance).lastOutput = Clock::now();
      if (Drain(pipes[i], onLine)) continue;
      if (DropPipe(i)) Reap(instance);
    }
  }
};

cInstanceRunner::cInstanceRunner(ChildLineHandler onLine, InstanceEndHandler onEnd,
                                 std::chrono::milliseconds silenceLimit)
    : state_(std::make_unique<sState>(std::move(onLine), std::move(onEnd), silenceLimit)) {}

cInstanceRunner::~cInstanceRunner() {
  if (state_->group != 0) SetStopRecipients(0);
}

size_t cInstanceRunner::Start(const sInstance& instance) {
  sState& state = *state_;
  const size_t index = state.Add();
  sChild& child = state.children[index];
  const int error = Spawn(instance, index, state.group, state.pipes, child.pid);
  if (error != 0) {
    state.children.erase(index);
    errno = error;
    state.End(index, {eInstanceEnd::NotStarted, -1, LastErrorStatus()});
    return index;
  }
  child.lastOutput = Clock::now();
  child.openPipes = 2;
  state.Started(index);
  ++state.unreaped;
  if (state.group == 0) SetStopRecipients(state.group = child.pid);
  return index;
}

eRelayWake cInstanceRunner::RelayUntil(Clock::time_point deadline) {
  sState& state = *state_;
  state.ended = 0;
  const int wake = StopRequestWakeFd();
  for (;;) {
    state.LeaveSilentOnes();
    if (state.ended > 0) return eRelayWake::Ended;
    std::vector<pollfd> watched;
    for (const sChildPipe& pipe : state.pipes) watched.push_back({pipe.readEnd.Get(), POLLIN, 0});
    watched.push_back({wake, POLLIN, 0});  // ignored while -1
    if (poll(watched.data(), watched.size(), state.TimeLeft(deadline)) < 0 && errno != EINTR)
      return eRelayWake::Deadline;
    const bool stop = wake >= 0 && watched.back().revents != 0 && TakeStopWake(wake);
    watched.pop_back();
    state.RelayReady(watched);
    if (stop) return eRelayWake::StopRequest;
    if (state.ended > 0) return eRelayWake::Ended;
    if (Clock::now() >= deadline) return eRelayWake::Deadline;
  }
}

size_t cInstanceRunner::Running() const { return state_->running.size(); }

std::wstring InstanceProgram() { return text::Utf8ToWide(kOwnProgram); }

}  // namespace platform
