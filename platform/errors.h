// System error codes the program reports and tests, with the values Windows
// gives them, so that both platform layers speak the same numbers.
#pragma once
#include <cstdint>

namespace platform {

inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;           // ERROR_FILE_NOT_FOUND
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

// The calling thread's last system error, as a code of the list above where
// the platform's own code has an equivalent there.
uint32_t GetLastErrorCode();

}  // namespace platform
