// Packet allocation and image cutting shared by the DL and SDL protocols.
#include "device/hdlc/packet_builder.h"

#include <algorithm>
#include <memory>
#include <new>

#include "protocol/shared_buffer.h"

sProtocolBuffer MakePacket(int32_t kind, std::span<const uint8_t> bytes) {
  return MakePacketInPlace(kind, bytes.size(), [&](uint8_t* out) { std::copy(bytes.begin(), bytes.end(), out); });
}

sProtocolBuffer MakePacketInPlace(int32_t kind, size_t size, const std::function<void(uint8_t* out)>& fill) {
  if (size == 0 || size > kMaxSharedBufferSize) return sProtocolBuffer();
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size]);
  if (!bytes) return sProtocolBuffer();
  fill(bytes.get());
  auto* shared = new (std::nothrow) sSharedBuffer(kind, static_cast<uint32_t>(size), std::move(bytes));
  if (shared == nullptr) return sProtocolBuffer();
  if (!shared->IsValid()) {
    shared->Release();  // never referenced: this frees it
    return sProtocolBuffer();
  }
  return sProtocolBuffer(shared);
}

std::vector<sProtocolBuffer> BuildImageWrites(const uint8_t* image, uint32_t length, uint32_t blockSize,
                                              uint32_t baseAddress, const WriteBuilder& buildWrite) {
  if (image == nullptr || length == 0 || blockSize == 0 || blockSize > kMaxWriteBlockSize) return {};
  // A write past 0xFFFFFFFF would wrap around to address 0 and land on memory
  // the image was never meant for.
  if (uint64_t{baseAddress} + length - 1 > 0xFFFFFFFFu) return {};
  const uint32_t count = length / blockSize + (length % blockSize != 0 ? 1 : 0);
  std::vector<sProtocolBuffer> writes;
  writes.reserve(count);
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t offset = k * blockSize;  // below length, so no overflow
    const uint32_t size = std::min(blockSize, length - offset);
    sProtocolBuffer write = buildWrite({baseAddress + offset, {image + offset, size}});
    if (write.GetShared() == nullptr) return {};
    writes.push_back(write);
  }
  return writes;
}
