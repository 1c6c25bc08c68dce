// System error codes the program reports and tests, with the values Windows
// gives them, so that both platform layers speak the same numbers, and the
// status a call that can fail returns.
#pragma once
#include <cstdint>

namespace platform {

inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;           // ERROR_FILE_NOT_FOUND
inline constexpr uint32_t kErrorTooManyOpenFiles = 4;       // ERROR_TOO_MANY_OPEN_FILES
inline constexpr uint32_t kErrorAccessDenied = 5;           // ERROR_ACCESS_DENIED
inline constexpr uint32_t kErrorNotEnoughMemory = 8;        // ERROR_NOT_ENOUGH_MEMORY
inline constexpr uint32_t kErrorBadFormat = 11;             // ERROR_BAD_FORMAT
inline constexpr uint32_t kErrorGenFailure = 31;            // ERROR_GEN_FAILURE
inline constexpr uint32_t kErrorBusy = 170;                 // ERROR_BUSY: held by another program
inline constexpr uint32_t kErrorResourceNotFound = 1814;    // ERROR_RESOURCE_NAME_NOT_FOUND
inline constexpr uint32_t kErrorOperationAborted = 995;     // ERROR_OPERATION_ABORTED
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;  // ERROR_DEVICE_NOT_CONNECTED
inline constexpr uint32_t kErrorTimeout = 1460;             // ERROR_TIMEOUT
inline constexpr uint32_t kStatusFail = 0x80004005u;        // E_FAIL, a failed worker command

// What a call that can fail returns: the system error code of its failing
// step, taken at that step, in the numbering above; kErrorSuccess when it
// succeeded. Tested as a bool: true on success.
struct [[nodiscard]] sStatus {
  uint32_t code = kErrorSuccess;

  bool Succeeded() const { return code == kErrorSuccess; }
  explicit operator bool() const { return Succeeded(); }
};

// The calling thread's last system error, as a code of the list above where
// the platform's own code has an equivalent there. Read right at the failing
// call, by the platform's own files and by the one user of the serial port's
// boolean operations, which keep the system's convention (serial/win_comm.h).
uint32_t GetLastErrorCode();
// The same as the status of the call that has just failed: never a success
// (kErrorGenFailure when the system left no code).
sStatus LastErrorStatus();

}  // namespace platform
