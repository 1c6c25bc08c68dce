// The serial port on Win32: overlapped I/O with completion routines. While a
// transfer is in flight, the hEvent field of its OVERLAPPED record (never an
// event here) holds the owning port: it is both the direction's busy mark and
// the way the completion routine finds the port again. Close clears the busy
// marks at once, but the system owns a record until the transfer's completion
// routine has run; a record is not used again before that.
#include <windows.h>
#include <winternl.h>

#include <chrono>
#include <cstddef>

#include "platform/alertable.h"
#include "serial/win_comm.h"

namespace {

// One direction's record and whether the system still owns it.
struct sTransfer {
  OVERLAPPED overlapped{};
  bool inSystem = false;  // started, and its completion routine has not run yet
};

}  // namespace

struct cWinComm::sImpl {
  platform::cHandle handle;
  sTransfer read;
  sTransfer write;
};

namespace {

bool InSystem(const sTransfer& read, const sTransfer& write) { return read.inSystem || write.inSystem; }

// Runs on the thread that started the transfer, in its alertable wait.
void Complete(DWORD error, DWORD bytes, OVERLAPPED* overlapped, bool isRead) {
  if (overlapped == nullptr) return;
  reinterpret_cast<sTransfer*>(reinterpret_cast<char*>(overlapped) - offsetof(sTransfer, overlapped))->inSystem = false;
  auto* port = static_cast<cWinComm*>(overlapped->hEvent);
  // No owner: the port was closed since, and the completion is dropped.
  if (port == nullptr || !port->IsReady()) return;
  overlapped->hEvent = nullptr;  // idle again before the callback, which may restart
  cIoCallback* callback = isRead ? port->RxCallback : port->TxCallback;
  callback->OnIoComplete(error, bytes);
}

void CALLBACK ReadCompleted(DWORD error, DWORD bytes, OVERLAPPED* overlapped) {
  Complete(error, bytes, overlapped, true);
}

void CALLBACK WriteCompleted(DWORD error, DWORD bytes, OVERLAPPED* overlapped) {
  Complete(error, bytes, overlapped, false);
}

}  // namespace

cWinComm::cWinComm() : impl_(std::make_unique<sImpl>()) {}

cWinComm::~cWinComm() { Close(); }

std::wstring cWinComm::PathFor(const std::wstring& portName) {
  if (portName.find(L'.') != std::wstring::npos) return portName;
  return L"\\\\.\\" + portName;
}

namespace {

// The system's own name of a Win32 device path (\\.\COM5, \\?\...), which the
// system call takes as it is.
std::wstring SystemPathOf(const std::wstring& path) {
  for (const wchar_t* prefix : {L"\\\\.\\", L"\\\\?\\"}) {
    if (path.rfind(prefix, 0) == 0) return L"\\??\\" + path.substr(4);
  }
  return L"\\??\\" + path;
}

// The handle of the open device, or INVALID_HANDLE_VALUE with the system's
// error code set. Only the system call is the port call: the Win32 open
// would allocate on the process heap inside it, where a thread ended
// forcibly would leave the heap locked.
HANDLE OpenDevice(const std::wstring& path, ULONG share) {
  std::wstring systemPath = SystemPathOf(path);
  const auto bytes = static_cast<USHORT>(systemPath.size() * sizeof(wchar_t));
  UNICODE_STRING name{bytes, bytes, systemPath.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE* const out = &handle;
  OBJECT_ATTRIBUTES* const what = &attributes;
  IO_STATUS_BLOCK* const result = &io;
  const NTSTATUS status = platform::InPortCall(
      [out, what, result, share] {
        return ::NtCreateFile(out, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE | FILE_READ_ATTRIBUTES, what, result,
                              nullptr, FILE_ATTRIBUTE_NORMAL, share, FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr, 0);
      },
      [out](NTSTATUS opened) {
        if (opened >= 0) ::NtClose(*out);
      });
  if (status >= 0) return handle;
  ::SetLastError(::RtlNtStatusToDosError(status));
  return INVALID_HANDLE_VALUE;
}

}  // namespace

// The open and the close are port calls: a driver gone bad may hold them up
// for good. An open that returns after its thread was abandoned closes what
// it opened.
bool cWinComm::OpenPath(const std::wstring& path, bool exclusive) {
  impl_->handle = platform::cHandle(OpenDevice(path, exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE));
  return impl_->handle.IsValid();
}

bool cWinComm::Close() {
  portName_.clear();
  if (!IsOpen()) return true;
  const NTSTATUS closed = platform::InPortCall([handle = impl_->handle.Release()] { return ::NtClose(handle); });
  impl_->read.overlapped.hEvent = nullptr;
  impl_->write.overlapped.hEvent = nullptr;
  return closed >= 0;
}

// A record the system still owns (a cancelled transfer whose completion has
// not run) refuses the start like a busy direction.
bool cWinComm::Read(uint8_t* buffer, uint32_t length) {
  sTransfer& read = impl_->read;
  if (!IsReady() || read.overlapped.hEvent != nullptr || read.inSystem) return false;
  read.overlapped.hEvent = this;  // a refused start keeps the direction busy until Close
  if (!::ReadFileEx(impl_->handle.Get(), buffer, length, &read.overlapped, ReadCompleted)) return false;
  read.inSystem = true;
  return true;
}

bool cWinComm::Write(const uint8_t* buffer, uint32_t length) {
  sTransfer& write = impl_->write;
  if (!IsReady() || write.overlapped.hEvent != nullptr || write.inSystem) return false;
  write.overlapped.hEvent = this;
  if (!::WriteFileEx(impl_->handle.Get(), buffer, length, &write.overlapped, WriteCompleted)) return false;
  write.inSystem = true;
  return true;
}

bool cWinComm::IsOpen() const { return impl_->handle.IsValid(); }

// The line set-up is not a port call here: its Win32 calls are more than one
// system call each, with a wait inside on this overlapped handle, and a
// thread ended inside them would leave the wait's status record to the
// system. A driver that holds them up keeps the worker, and with it the
// server, until they return.
bool cWinComm::ApplyLineSettings() {
  if (!IsOpen()) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  HANDLE handle = impl_->handle.Get();
  if (!::GetCommState(handle, &dcb)) return false;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fAbortOnError = 0;
  dcb.ByteSize = 8;
  return ::SetCommState(handle, &dcb) != FALSE;
}

bool cWinComm::SetTimeouts(const sCommTimeouts& timeouts) {
  if (!IsOpen()) return false;
  COMMTIMEOUTS t{timeouts.readIntervalMs, timeouts.readTotalMultiplierMs, timeouts.readTotalConstantMs,
                 timeouts.writeTotalMultiplierMs, timeouts.writeTotalConstantMs};
  return ::SetCommTimeouts(impl_->handle.Get(), &t) != FALSE;
}

// The DCB stays as the line settings left it: a read completes on the
// time-outs alone.
bool cWinComm::SetEventCharacter(uint8_t) { return IsOpen(); }

bool cWinComm::PurgeTransmit() { return IsOpen() && ::PurgeComm(impl_->handle.Get(), PURGE_TXABORT) != FALSE; }

bool cWinComm::ClearErrors() {
  DWORD errors = 0;
  COMSTAT status{};
  return IsOpen() && ::ClearCommError(impl_->handle.Get(), &errors, &status) != FALSE;
}

bool cWinComm::CancelIo() { return IsOpen() && ::CancelIo(impl_->handle.Get()) != FALSE; }

// The system finishes a thread's transfers when the thread ends, and their
// completion routines never run: only the owner, who saw the thread end,
// can tell, and it says so through ForgetTransfersOfEndedThread. A thread id
// says nothing here, as Windows hands the id of an ended thread to the next.
void cWinComm::ForgetTransfersOfEndedThread() { impl_->read.inSystem = impl_->write.inSystem = false; }

// Records still in the system belong to the calling thread (their starter
// has not been reported gone): their completions run in its alertable wait.
bool cWinComm::AwaitCancelledTransfers(uint32_t timeoutMs) {
  if (!InSystem(impl_->read, impl_->write)) return true;
  using namespace std::chrono;
  const auto due = steady_clock::now() + milliseconds(timeoutMs);
  while (InSystem(impl_->read, impl_->write)) {
    const auto left = duration_cast<milliseconds>(due - steady_clock::now()).count();
    if (left <= 0) return false;
    ::SleepEx(static_cast<DWORD>(left), TRUE);  // completion routines run in here
  }
  return true;
}
