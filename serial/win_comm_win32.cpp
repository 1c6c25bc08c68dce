// The serial port on Win32: overlapped I/O with completion routines. While a
// transfer is in flight, the hEvent field of its OVERLAPPED record (never an
// event here) holds the owning port: it is both the direction's busy mark and
// the way the completion routine finds the port again.
#include <windows.h>

#include "serial/win_comm.h"

struct cWinComm::sImpl {
  platform::cHandle handle;
  OVERLAPPED read{};
  OVERLAPPED write{};
};

namespace {

// Runs on the thread that started the transfer, in its alertable wait.
void Complete(DWORD error, DWORD bytes, OVERLAPPED* overlapped, bool isRead) {
  if (overlapped == nullptr) return;
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

bool cWinComm::OpenPath(const std::wstring& path, bool exclusive) {
  const DWORD share = exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
  impl_->handle = platform::cHandle(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL,
                                                  nullptr));
  return impl_->handle.IsValid();
}

bool cWinComm::Close() {
  portName_.clear();
  if (!IsOpen()) return true;
  const bool closed = impl_->handle.Close();
  impl_->read.hEvent = nullptr;
  impl_->write.hEvent = nullptr;
  return closed;
}

bool cWinComm::Read(uint8_t* buffer, uint32_t length) {
  if (!IsReady() || impl_->read.hEvent != nullptr) return false;
  impl_->read.hEvent = this;  // a refused start keeps the direction busy until Close
  return ::ReadFileEx(impl_->handle.Get(), buffer, length, &impl_->read, ReadCompleted) != FALSE;
}

bool cWinComm::Write(const uint8_t* buffer, uint32_t length) {
  if (!IsReady() || impl_->write.hEvent != nullptr) return false;
  impl_->write.hEvent = this;
  return ::WriteFileEx(impl_->handle.Get(), buffer, length, &impl_->write, WriteCompleted) != FALSE;
}

bool cWinComm::IsOpen() const { return impl_->handle.IsValid(); }

bool cWinComm::ApplyLineSettings() {
  if (!IsOpen()) return false;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(impl_->handle.Get(), &dcb)) return false;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fAbortOnError = 0;
  dcb.ByteSize = 8;
  return ::SetCommState(impl_->handle.Get(), &dcb) != FALSE;
}

bool cWinComm::SetTimeouts(const sCommTimeouts& timeouts) {
  if (!IsOpen()) return false;
  COMMTIMEOUTS t{timeouts.readIntervalMs, timeouts.readTotalMultiplierMs, timeouts.readTotalConstantMs,
                 timeouts.writeTotalMultiplierMs, timeouts.writeTotalConstantMs};
  return ::SetCommTimeouts(impl_->handle.Get(), &t) != FALSE;
}

bool cWinComm::PurgeTransmit() { return IsOpen() && ::PurgeComm(impl_->handle.Get(), PURGE_TXABORT) != FALSE; }

bool cWinComm::ClearErrors() {
  DWORD errors = 0;
  COMSTAT status{};
  return IsOpen() && ::ClearCommError(impl_->handle.Get(), &errors, &status) != FALSE;
}

bool cWinComm::CancelIo() { return IsOpen() && ::CancelIo(impl_->handle.Get()) != FALSE; }
