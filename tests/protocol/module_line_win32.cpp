// The module's end of the line on Windows (under Wine): a second COM port
// joined to the server's one by a pseudo-terminal pair outside the process
// (scripts/wine-com-test.sh pair names both ports in the environment).
// Without them there is no line, and the tests that need one fail.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "module_line.h"

namespace {

std::wstring FromEnvironment(const char* variable) {
  const char* value = std::getenv(variable);
  return value ? std::wstring(value, value + std::strlen(value)) : std::wstring();
}

}  // namespace

struct cModuleLine::sImpl {
  HANDLE port = INVALID_HANDLE_VALUE;
  HANDLE readDone = nullptr;
  HANDLE wake = nullptr;
  std::wstring hostName;
};

cModuleLine::cModuleLine() : impl_(new sImpl) {
  impl_->hostName = FromEnvironment("ZNTV_TEST_COM_PORT");
  const std::wstring module = FromEnvironment("ZNTV_TEST_MODULE_PORT");
  if (impl_->hostName.empty() || module.empty()) return;
  impl_->port = CreateFileW((L"\\\\.\\" + module).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (impl_->port == INVALID_HANDLE_VALUE) return;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (GetCommState(impl_->port, &dcb)) {
    dcb.fOutX = dcb.fInX = FALSE;
    dcb.ByteSize = 8;
    SetCommState(impl_->port, &dcb);
  }
  COMMTIMEOUTS timeouts{2, 0, 0, 0, 0};  // a read ends 2 ms after its last byte
  SetCommTimeouts(impl_->port, &timeouts);
  PurgeComm(impl_->port, PURGE_RXCLEAR | PURGE_TXCLEAR);  // what an earlier test left
  impl_->readDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  impl_->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

cModuleLine::~cModuleLine() {
  HangUp();
  for (HANDLE event : {impl_->readDone, impl_->wake}) {
    if (event) CloseHandle(event);
  }
  delete impl_;
}

bool cModuleLine::IsOpen() const { return impl_->port != INVALID_HANDLE_VALUE; }

std::wstring cModuleLine::PortName() const { return impl_->hostName; }

bool cModuleLine::Write(const std::vector<uint8_t>& bytes) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD written = 0;
  BOOL ok = WriteFile(impl_->port, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = TRUE;
  ok = ok && GetOverlappedResult(impl_->port, &overlapped, &written, TRUE);
  CloseHandle(overlapped.hEvent);
  return ok && written == bytes.size();
}

long cModuleLine::Read(uint8_t* buffer, size_t capacity) {
  for (;;) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = impl_->readDone;
    ResetEvent(impl_->readDone);
    DWORD got = 0;
    if (!ReadFile(impl_->port, buffer, static_cast<DWORD>(capacity), nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      return -1;
    }
    const HANDLE events[2] = {impl_->readDone, impl_->wake};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
      // A wake can be stale (an Interrupt() while no Read was blocked), and
      // the cancelled read may already hold bytes: they are the module's,
      // so they are returned rather than lost.
      CancelIo(impl_->port);
      GetOverlappedResult(impl_->port, &overlapped, &got, TRUE);
      return static_cast<long>(got);
    }
    if (!GetOverlappedResult(impl_->port, &overlapped, &got, FALSE)) return -1;
    if (got > 0) return static_cast<long>(got);
  }
}

void cModuleLine::Interrupt() {
  if (impl_->wake) SetEvent(impl_->wake);
}

void cModuleLine::HangUp() {
  if (impl_->port != INVALID_HANDLE_VALUE) CloseHandle(impl_->port);
  impl_->port = INVALID_HANDLE_VALUE;
}
