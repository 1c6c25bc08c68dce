// The DIAG packets of the module's normal firmware: the packet view, the test
// that tells the module's unsolicited traffic from answers, and the requests
// the host sends. Multi-byte fields are little-endian.
//
// Threads: any thread; views are per-thread values like sProtocolBuffer.
#pragma once
#include <cstdint>

#include "protocol/protocol_buffer.h"

inline constexpr uint8_t kDiagBuildIdCode = 0x7C;
inline constexpr uint8_t kDiagModeCode = 0x00;
inline constexpr uint8_t kDiagDownloadModeCode = 0x3A;
// Mode value carried by the mode request: leave normal operation (go
// offline), so that the module is ready for the download mode request.
inline constexpr uint16_t kDiagModeOffline = 0x0001;

// A DIAG packet of either direction (buffer kind 2 received, 3 sent).
class sDiagBuffer : public sProtocolBuffer {
 public:
  sDiagBuffer() = default;
  explicit sDiagBuffer(sSharedBuffer* shared);
  explicit sDiagBuffer(const sProtocolBuffer& packet);
  // Valid exactly when a valid buffer of a DIAG kind is held.
  bool Validate() override;
};

// Whether packet is something the module sent of its own accord rather than
// an answer: decided by its first byte and, for most codes, its length and
// 16-bit fields. False for a packet without data.
bool IsUnsolicitedDiag(const sProtocolBuffer& packet);

// Requests (kind 3); a view holding nothing when the packet cannot be made.
sProtocolBuffer BuildDiagBuildIdRequest();  // 7C
// 00, then kDiagModeOffline as a 16-bit little-endian value.
sProtocolBuffer BuildDiagModeRequest();
sProtocolBuffer BuildDiagDownloadModeRequest();  // 3A
