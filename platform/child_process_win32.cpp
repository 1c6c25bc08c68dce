// Windows instance runner: CreateProcessW of the program's own file with both
// output streams on anonymous pipes. Such pipes cannot be waited on together,
// so one reader thread per pipe queues the bytes it reads, and the calling
// thread cuts them into lines and relays them.
#include <windows.h>

#include <condition_variable>
#include <cwchar>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/child_process.h"
#include "platform/handle.h"
#include "platform/utf8.h"

namespace platform {

namespace {

// What the reader threads hand to the calling thread: bytes read from one
// pipe, or (empty) the pipe's end.
struct sChunk {
  size_t pipe;
  std::string bytes;
};

class cChunkQueue {
 public:
  void Push(sChunk chunk) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      chunks_.push_back(std::move(chunk));
    }
    ready_.notify_one();
  }
  sChunk Pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return !chunks_.empty(); });
    sChunk chunk = std::move(chunks_.front());
    chunks_.pop_front();
    return chunk;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<sChunk> chunks_;
};

struct sChildPipe {
  size_t instance;
  eChildStream stream;
  cHandle readEnd;
  cLineAssembler lines;
};

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
    entries.push_back(WideToUtf8(entry));
  }
  FreeEnvironmentStringsW(block);
  return entries;
}

std::string AnsiToUtf8(const std::string& text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return WideToUtf8(wide);
}

// A Unicode environment block for CreateProcessW: each entry NUL-terminated,
// and one more NUL at the end.
std::wstring EnvironmentBlock(const std::vector<std::string>& own, const std::vector<std::string>& instance) {
  std::vector<std::string> replacements;
  for (const std::string& entry : instance) replacements.push_back(AnsiToUtf8(entry));
  std::wstring block;
  for (const std::string& entry : ReplacedEnvironment(own, replacements)) block += Utf8ToWide(entry) + L'\0';
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

// Starts one instance into process; 0, or the system error that kept it
// from starting (taken before the pipes are closed again). The write ends
// are closed here as soon as the child has its copies, so that no later
// child inherits them and each pipe ends when its own child does.
DWORD Spawn(const std::wstring& program, const sInstance& instance, size_t index, std::vector<sChildPipe>& pipes,
            cHandle& child) {
  cHandle outputRead, outputWrite, errorRead, errorWrite;
  if (!MakePipe(outputRead, outputWrite) || !MakePipe(errorRead, errorWrite)) return GetLastError();
  std::wstring commandLine = Quoted(program);
  for (const std::wstring& argument : instance.arguments) commandLine += L" " + Quoted(argument);
  std::wstring environment = EnvironmentBlock(OwnEnvironment(), instance.environment);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = outputWrite.Get();
  startup.hStdError = errorWrite.Get();
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                      environment.data(), nullptr, &startup, &process)) {
    return GetLastError();
  }
  CloseHandle(process.hThread);
  pipes.push_back({index, eChildStream::Output, std::move(outputRead), {}});
  pipes.push_back({index, eChildStream::Error, std::move(errorRead), {}});
  child = cHandle(process.hProcess);
  return 0;
}

void ReadPipe(HANDLE pipe, size_t index, cChunkQueue& queue) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) queue.Push({index, std::string(buffer, got)});
  queue.Push({index, {}});
}

void RelayUntilClosed(std::vector<sChildPipe>& pipes, const ChildLineHandler& onLine) {
  cChunkQueue queue;
  std::vector<std::thread> readers;
  for (size_t i = 0; i < pipes.size(); ++i) readers.emplace_back(ReadPipe, pipes[i].readEnd.Get(), i, std::ref(queue));
  for (size_t open = pipes.size(); open > 0;) {
    sChunk chunk = queue.Pop();
    sChildPipe& pipe = pipes[chunk.pipe];
    const auto relay = [&pipe, &onLine](std::string_view line) { onLine(pipe.instance, pipe.stream, line); };
    if (chunk.bytes.empty()) {
      pipe.lines.Finish(relay);
      --open;
    } else {
      pipe.lines.Feed(chunk.bytes, relay);
    }
  }
  for (std::thread& reader : readers) reader.join();
}

int WaitForExit(const cHandle& process) {
  DWORD code = 0;
  if (WaitForSingleObject(process.Get(), INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.Get(), &code)) {
    return -1;
  }
  return static_cast<int>(code);
}

}  // namespace

std::vector<int> RunProgramInstances(const std::vector<sInstance>& instances, const ChildLineHandler& onLine) {
  const std::wstring program = OwnExecutable();
  std::vector<sChildPipe> pipes;
  std::vector<cHandle> children;
  for (size_t i = 0; i < instances.size(); ++i) {
    cHandle child;
    const DWORD error = program.empty() ? ERROR_FILE_NOT_FOUND : Spawn(program, instances[i], i, pipes, child);
    if (error != 0) {
      onLine(i, eChildStream::Error, NotStartedLine(WideToUtf8(program), "system error " + std::to_string(error)));
    }
    children.push_back(std::move(child));
  }
  RelayUntilClosed(pipes, onLine);
  std::vector<int> statuses;
  for (const cHandle& child : children) statuses.push_back(child.IsValid() ? WaitForExit(child) : -1);
  return statuses;
}

}  // namespace platform
