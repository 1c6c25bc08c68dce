// Windows instance runner: CreateProcessW of the program's own file with both
// output streams on anonymous pipes, the only handles the instance inherits
// (a handle list). Such pipes cannot be waited on together, so one reader
// thread per pipe queues the bytes it reads, and the calling thread cuts them
// into lines and relays them. A reader owns its pipe and shares the queue,
// so that the reader of an instance left to itself can outlive the run. A
// console control handler queues the stop requests too, so that one wait
// sees everything.
#include <windows.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/child_process.h"
#include "platform/handle.h"
#include "platform/instance_book.h"
#include "text/line_assembler.h"
#include "text/utf8.h"

namespace platform {

namespace {

// What the reader threads hand to the calling thread: bytes read from one
// pipe, or (empty) the pipe's end; or, from the console's own thread, a stop
// request (kStopChunk).
struct sChunk {
  size_t pipe;
  std::string bytes;
};

constexpr size_t kStopChunk = static_cast<size_t>(-1);

class cChunkQueue {
 public:
  void Push(sChunk chunk) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      chunks_.push_back(std::move(chunk));
    }
    ready_.notify_one();
  }
  // The next chunk, or none when deadline (max: none) passes first.
  std::optional<sChunk> PopUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto ready = [this] { return !chunks_.empty(); };
    if (deadline == std::chrono::steady_clock::time_point::max()) {
      ready_.wait(lock, ready);
    } else if (!ready_.wait_until(lock, deadline, ready)) {
      return std::nullopt;
    }
    sChunk chunk = std::move(chunks_.front());
    chunks_.pop_front();
    return chunk;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<sChunk> chunks_;
};

using Clock = std::chrono::steady_clock;

struct sChildPipe {
  size_t instance;
  eChildStream stream;
  text::cLineAssembler lines;
  std::thread reader;
};

struct sChild {
  cHandle process;
  Clock::time_point lastOutput;
  int openPipes = 0;
};

// The queue of the runner that takes stop requests now: the console's
// events reach the instances by themselves, but the runner's thread must
// wake for them.
std::mutex gStopQueueMutex;
std::weak_ptr<cChunkQueue> gStopQueue;

// Runs before the stop-request service's own handler, which then acts.
BOOL WINAPI WakeOnConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    std::lock_guard<std::mutex> lock(gStopQueueMutex);
    if (const std::shared_ptr<cChunkQueue> queue = gStopQueue.lock()) queue->Push({kStopChunk, {}});
  }
  return FALSE;
}

std::wstring OwnExecutable() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) return path.substr(0, length);
    path.resize(path.size() * 2);
  }
}

// One argument quoted as the C runtime's command-line parser reads it back.
std::wstring Quoted(const std::wstring& argument) {
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

// The program's environment, "NAME=value" each, as UTF-8 so that the
// instance's entries (in the ANSI code page, as the C runtime gives them) can
// take their places; entries that begin with '=' (the shell's per-drive
// folders) are kept.
std::vector<std::string> OwnEnvironment() {
  std::vector<std::string> entries;
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return entries;
  for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    entries.push_back(text::WideToUtf8(entry));
  }
  FreeEnvironmentStringsW(block);
  return entries;
}

std::string AnsiToUtf8(const std::string& text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return text::WideToUtf8(wide);
}

// A Unicode environment block for CreateProcessW: each entry NUL-terminated,
// and one more NUL at the end.
std::wstring EnvironmentBlock(const std::vector<std::string>& own, const std::vector<std::string>& instance) {
  std::vector<std::string> replacements;
  for (const std::string& entry : instance) replacements.push_back(AnsiToUtf8(entry));
  std::wstring block;
  for (const std::string& entry : ReplacedEnvironment(own, replacements)) block += text::Utf8ToWide(entry) + L'\0';
  return block + L'\0';
}

// A pipe whose write end the child inherits; the read end stays here.
bool MakePipe(cHandle& readEnd, cHandle& writeEnd) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, &inherit, 0)) return false;
  readEnd = cHandle(read);
  writeEnd = cHandle(write);
  return SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0) != FALSE;
}

// A process attribute list that lets a child inherit handles and no others;
// valid while the object and the handles live.
class cInheritedHandles {
 public:
  explicit cInheritedHandles(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (InitializeProcThreadAttributeList(list, 1, 0, &size) == FALSE) return;
    initialized_ = true;
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                  handles_.size() * sizeof(HANDLE), nullptr, nullptr) != FALSE) {
      list_ = list;
    }
  }
  ~cInheritedHandles() {
    if (initialized_) DeleteProcThreadAttributeList(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data()));
  }
  cInheritedHandles(const cInheritedHandles&) = delete;
  cInheritedHandles& operator=(const cInheritedHandles&) = delete;

  // Null when the list could not be made.
  LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

 private:
  std::vector<HANDLE> handles_;
  std::vector<unsigned char> storage_;
  bool initialized_ = false;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Starts one instance into child, with the read ends of its output and error
// pipes into readEnds; 0, or the system error that kept it
// from starting (taken before the pipes are closed again). It inherits the
// write ends of its two pipes and nothing else, and has no standard input.
// The write ends are closed here as soon as the child has its copies, so
// that each pipe ends when its own child does.
DWORD Spawn(const std::wstring& program, const sInstance& instance, std::array<cHandle, 2>& readEnds, cHandle& child) {
  cHandle outputRead, outputWrite, errorRead, errorWrite;
  if (!MakePipe(outputRead, outputWrite) || !MakePipe(errorRead, errorWrite)) return GetLastError();
  std::wstring commandLine = Quoted(program);
  for (const std::wstring& argument : instance.arguments) commandLine += L" " + Quoted(argument);
  std::wstring environment = EnvironmentBlock(OwnEnvironment(), instance.environment);
  const cInheritedHandles inherited({outputWrite.Get(), errorWrite.Get()});
  if (inherited.Get() == nullptr) return GetLastError();
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = nullptr;
  startup.StartupInfo.hStdOutput = outputWrite.Get();
  startup.StartupInfo.hStdError = errorWrite.Get();
  startup.lpAttributeList = inherited.Get();
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT, environment.data(), nullptr,
                      &startup.StartupInfo, &process)) {
    return GetLastError();
  }
  CloseHandle(process.hThread);
  readEnds = {std::move(outputRead), std::move(errorRead)};
  child = cHandle(process.hProcess);
  return 0;
}

void ReadPipe(cHandle pipe, size_t index, const std::shared_ptr<cChunkQueue>& queue) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe.Get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    queue->Push({index, std::string(buffer, got)});
  }
  queue->Push({index, {}});
}

sInstanceEnd WaitForExit(const cHandle& process) {
  DWORD code = 0;
  if (WaitForSingleObject(process.Get(), INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.Get(), &code)) {
    return {eInstanceEnd::Lost, -1, {}};
  }
  return {eInstanceEnd::Exited, static_cast<int>(code), {}};
}

}  // namespace

struct cInstanceRunner::sState : sInstanceBook {
  using sInstanceBook::sInstanceBook;

  std::wstring program = OwnExecutable();
  std::shared_ptr<cChunkQueue> queue = std::make_shared<cChunkQueue>();
  std::unordered_map<size_t, sChild> children;  // while one of its pipes is open
  // The open pipes, by the number their chunks carry, in the order made.
  std::map<size_t, sChildPipe> pipes;
  size_t pipesMade = 0;

  // When the first instance still writing reaches the silence limit, or
  // deadline if that is sooner.
  Clock::time_point WakeAt(Clock::time_point deadline) const {
    Clock::time_point first = deadline;
    for (const auto& [number, pipe] : pipes) {
      first = std::min(first, children.at(pipe.instance).lastOutput + silenceLimit);
    }
    return first;
  }

  // Forgets an open pipe; true when it was its instance's last.
  bool DropPipe(size_t number) {
    const size_t instance = pipes.at(number).instance;
    pipes.erase(number);
    return --children.at(instance).openPipes == 0;
  }

  // Gives up every instance that has been silent for the limit; its readers
  // are left to end with it, and what they still read is dropped.
  void LeaveSilentOnes() {
    const Clock::time_point now = Clock::now();
    std::vector<size_t> silent;
    for (const auto& [number, pipe] : pipes) {
      if (now - children.at(pipe.instance).lastOutput >= silenceLimit) silent.push_back(number);
    }
    for (size_t number : silent) {
      sChildPipe& pipe = pipes.at(number);
      const size_t instance = pipe.instance;
      if (IsRunning(instance)) End(instance, {eInstanceEnd::NotFinished, -1, {}});
      pipe.reader.detach();
      if (DropPipe(number)) children.erase(instance);
    }
  }

  void Relay(const sChunk& chunk) {
    const auto found = pipes.find(chunk.pipe);
    if (found == pipes.end()) return;  // an instance left to itself
    sChildPipe& pipe = found->second;
    const size_t instance = pipe.instance;
    children.at(instance).lastOutput = Clock::now();
    const auto relay = [&pipe, this](std::string_view line) { onLine(pipe.instance, pipe.stream, line); };
    if (!chunk.bytes.empty()) {
      pipe.lines.Feed(chunk.bytes, relay);
      return;
    }
    pipe.lines.Finish(relay);
    pipe.reader.join();
    if (!DropPipe(chunk.pipe)) return;
    const cHandle process = std::move(children.at(instance).process);
    children.erase(instance);
    End(instance, WaitForExit(process));
  }
};

cInstanceRunner::cInstanceRunner(ChildLineHandler onLine, InstanceEndHandler onEnd,
                                 std::chrono::milliseconds silenceLimit)
    : state_(std::make_unique<sState>(std::move(onLine), std::move(onEnd), silenceLimit)) {
  {
    std::lock_guard<std::mutex> lock(gStopQueueMutex);
    gStopQueue = state_->queue;
  }
  SetConsoleCtrlHandler(WakeOnConsoleEvent, TRUE);
}

cInstanceRunner::~cInstanceRunner() {
  SetConsoleCtrlHandler(WakeOnConsoleEvent, FALSE);
  {
    std::lock_guard<std::mutex> lock(gStopQueueMutex);
    gStopQueue.reset();
  }
  // Readers of instances still running at the end are left to end with them.
  for (auto& [number, pipe] : state_->pipes) {
    if (pipe.reader.joinable()) pipe.reader.detach();
  }
}

size_t cInstanceRunner::Start(const sInstance& instance) {
  sState& state = *state_;
  const size_t index = state.Add();
  sChild& child = state.children[index];
  std::array<cHandle, 2> readEnds;
  const DWORD error =
      state.program.empty() ? ERROR_FILE_NOT_FOUND : Spawn(state.program, instance, readEnds, child.process);
  if (error != 0) {
    state.children.erase(index);
    state.End(index, {eInstanceEnd::NotStarted, -1, {static_cast<uint32_t>(error)}});
    return index;
  }
  child.lastOutput = Clock::now();
  child.openPipes = 2;
  state.Started(index);
  for (size_t i = 0; i < readEnds.size(); ++i) {
    const size_t number = state.pipesMade++;
    sChildPipe& pipe =
        state.pipes.emplace(number, sChildPipe{index, i == 0 ? eChildStream::Output : eChildStream::Error, {}, {}})
            .first->second;
    pipe.reader = std::thread(ReadPipe, std::move(readEnds[i]), number, state.queue);
  }
  return index;
}

eRelayWake cInstanceRunner::RelayUntil(Clock::time_point deadline) {
  sState& state = *state_;
  state.ended = 0;
  for (;;) {
    state.LeaveSilentOnes();
    if (state.ended > 0) return eRelayWake::Ended;
    const std::optional<sChunk> chunk = state.queue->PopUntil(state.WakeAt(deadline));
    if (chunk && chunk->pipe == kStopChunk) return eRelayWake::StopRequest;
    if (chunk) state.Relay(*chunk);
    if (state.ended > 0) return eRelayWake::Ended;
    if (Clock::now() >= deadline) return eRelayWake::Deadline;
  }
}

size_t cInstanceRunner::Running() const { return state_->running.size(); }

std::wstring InstanceProgram() { return OwnExecutable(); }

}  // namespace platform
