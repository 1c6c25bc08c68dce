// The packets of the module's boot downloader: views that check a request's
// or a response's length against its code, and the requests the host sends.
// Multi-byte fields are big-endian.
//
// Threads: any thread; views are per-thread values like sProtocolBuffer.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/protocol_buffer.h"

inline constexpr uint8_t kDlParametersRequestCode = 0x07;
inline constexpr uint8_t kDlParametersResponseCode = 0x08;
inline constexpr uint8_t kDlGoCode = 0x05;
inline constexpr uint8_t kDlWriteCode = 0x0F;

// A host-to-module DL packet (kind 5) whose length fits its code.
class sDownloadRequest : public sProtocolBuffer {
 public:
  sDownloadRequest() = default;
  explicit sDownloadRequest(sSharedBuffer* shared);
  explicit sDownloadRequest(const sProtocolBuffer& packet);
  bool Validate() override;
};

// A module-to-host DL packet (kind 4) whose length fits its code.
class sDownloadResponse : public sProtocolBuffer {
 public:
  sDownloadResponse() = default;
  explicit sDownloadResponse(sSharedBuffer* shared);
  explicit sDownloadResponse(const sProtocolBuffer& packet);
  bool Validate() override;
};

// What the parameters response (08) tells about the downloader.
struct sDlParameters {
  uint32_t currentVersion;
  uint32_t minimumVersion;
  uint32_t maxWriteSize;
};
// The fields of a valid parameters response; nothing for any other packet.
std::optional<sDlParameters> ReadDlParameters(const sDownloadResponse& response);

// Requests (kind 5); a view holding nothing when the packet cannot be made.
sProtocolBuffer BuildDlParametersRequest();  // 07
// 05, then startAddress as a big-endian 32-bit value.
sProtocolBuffer BuildDlGoRequest(uint32_t startAddress);
// 0F, address (32 bits), n (16 bits), n data bytes; 1 <= n <= 8192.
sProtocolBuffer BuildDlWriteRequest(uint32_t address, const uint8_t* data, uint32_t size);
// The image cut into writes of blockSize bytes from loadAddress on; empty on
// failure (see BuildImageWrites).
std::vector<sProtocolBuffer> BuildDlWriteRequests(uint32_t blockSize, const uint8_t* image, uint32_t imageLength,
                                                  uint32_t loadAddress);
