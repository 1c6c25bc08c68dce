// Linux instance runner: posix_spawn of /proc/self/exe with both output
// streams on pipes, read with poll() on the calling thread, so that lines are
// relayed as they come without a thread per pipe.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/child_process.h"
#include "platform/handle.h"
#include "platform/utf8.h"

extern char** environ;

namespace platform {

namespace {

// One output stream of one instance.
struct sChildPipe {
  size_t instance;
  eChildStream stream;
  cHandle readEnd;
  cLineAssembler lines;
};

std::string OwnExecutable() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// A null-terminated array of pointers into texts, as exec wants it.
std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Starts one instance with its standard output and error on new pipes, whose
// read ends are appended to pipes; 0, or the error that kept it from
// starting.
int Spawn(const std::string& program, const sInstance& instance, size_t index, std::vector<sChildPipe>& pipes,
          pid_t& child) {
  std::vector<std::string> texts{program};
  for (const std::wstring& argument : instance.arguments) texts.push_back(WideToUtf8(argument));
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
  const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
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

void RelayUntilClosed(std::vector<sChildPipe>& pipes, const ChildLineHandler& onLine) {
  while (!pipes.empty()) {
    std::vector<pollfd> watched;
    for (const sChildPipe& pipe : pipes) watched.push_back({pipe.readEnd.Get(), POLLIN, 0});
    if (poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (size_t i = watched.size(); i-- > 0;) {
      if (watched[i].revents != 0 && !Drain(pipes[i], onLine)) pipes.erase(pipes.begin() + static_cast<long>(i));
    }
  }
}

int WaitForExit(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::vector<int> RunProgramInstances(const std::vector<sInstance>& instances, const ChildLineHandler& onLine) {
  const std::string program = OwnExecutable();
  std::vector<sChildPipe> pipes;
  std::vector<pid_t> children;
  for (size_t i = 0; i < instances.size(); ++i) {
    pid_t child = -1;
    const int error = program.empty() ? ENOENT : Spawn(program, instances[i], i, pipes, child);
    if (error != 0) onLine(i, eChildStream::Error, NotStartedLine(program, std::strerror(error)));
    children.push_back(error == 0 ? child : -1);
  }
  RelayUntilClosed(pipes, onLine);
  std::vector<int> statuses;
  for (pid_t child : children) statuses.push_back(child < 0 ? -1 : WaitForExit(child));
  return statuses;
}

}  // namespace platform
