// The packets of the module's flash programmer: the hello exchange with its
// magic strings and the programmer's limits, streaming writes and their
// responses, and the requests the host sends. Multi-byte fields are
// little-endian.
//
// Threads: any thread; views are per-thread values like sProtocolBuffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "protocol/protocol_buffer.h"

inline constexpr uint8_t kSdlHelloCode = 0x01;
inline constexpr uint8_t kSdlHelloResponseCode = 0x02;
inline constexpr uint8_t kSdlWriteCode = 0x07;
inline constexpr uint8_t kSdlWriteResponseCode = 0x08;
inline constexpr uint8_t kSdlResetCode = 0x0B;
inline constexpr uint8_t kSdlResetResponseCode = 0x0C;
inline constexpr uint8_t kSdlErrorCode = 0x0D;
inline constexpr uint8_t kSdlLogCode = 0x0E;

// A streaming write's code and 32-bit address, before its data.
inline constexpr size_t kSdlWriteHeaderSize = 5;

// 32 bytes each, sent without terminator.
inline constexpr std::string_view kSdlHostMagic = "ZNTV fast download protocol host";
inline constexpr std::string_view kSdlTargetMagic = "ZNTV fast download protocol targ";
static_assert(kSdlHostMagic.size() == 32 && kSdlTargetMagic.size() == 32);

// A hello request (kind 7, 36 bytes) or a hello response (kind 6) whose
// variable-length parts all lie inside the packet and whose lowest protocol
// version is at least 2.
class sSDLHello : public sProtocolBuffer {
 public:
  sSDLHello() = default;
  explicit sSDLHello(sSharedBuffer* shared);
  explicit sSDLHello(const sProtocolBuffer& packet);
  bool Validate() override;
};

// A streaming write (kind 7, 0x07, at least 6 bytes) or a write response
// (kind 6, 0x08, exactly 5 bytes).
class sSDLStreamingWrite : public sProtocolBuffer {
 public:
  sSDLStreamingWrite() = default;
  explicit sSDLStreamingWrite(sSharedBuffer* shared);
  explicit sSDLStreamingWrite(const sProtocolBuffer& packet);
  bool Validate() override;
  // The address field (offset 1); nothing when the view is not valid.
  std::optional<uint32_t> Address() const;
};

// What the hello response tells about the programmer.
struct sSdlTargetParameters {
  uint32_t maxVersion;
  uint32_t minVersion;
  uint32_t maxWriteSize;
  uint32_t baseAddress;
  uint32_t windowSize;  // writes that may be outstanding
  uint32_t featureMask;
};
// The fields of a valid hello response; nothing for any other packet.
std::optional<sSdlTargetParameters> ReadSdlTargetParameters(const sSDLHello& hello);

// Requests (kind 7); a view holding nothing when the packet cannot be made.
sProtocolBuffer BuildSdlHelloRequest();
sProtocolBuffer BuildSdlResetRequest();  // 0B
// 07, address (32 bits), size data bytes; 1 <= size <= 8192.
sProtocolBuffer BuildSdlStreamingWrite(uint32_t address, const uint8_t* data, uint32_t size);
// The image cut into writes of blockSize bytes from baseAddress on; empty on
// failure (see BuildImageWrites).
std::vector<sProtocolBuffer> BuildSdlWriteRequests(const uint8_t* image, uint32_t blockSize, uint32_t baseAddress,
                                                   uint32_t imageLength);
