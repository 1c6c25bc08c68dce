// Making request packets and cutting an image into write requests: the pieces
// the DL and SDL protocols share.
//
// Threads: any thread; nothing shared.
#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "protocol/protocol_buffer.h"

// A packet of kind holding a copy of bytes, held by the returned view; a view
// holding nothing (GetShared() null) when the bytes do not make a valid shared
// buffer (empty, or longer than the framework carries).
sProtocolBuffer MakePacket(int32_t kind, std::span<const uint8_t> bytes);
// The same for a packet of size bytes that fill writes straight into the
// packet's own storage (no intermediate copy).
sProtocolBuffer MakePacketInPlace(int32_t kind, size_t size, const std::function<void(uint8_t* out)>& fill);

// Largest number of image bytes one write request carries.
inline constexpr uint32_t kMaxWriteBlockSize = 8192;

// One write's share of an image.
struct sImageBlock {
  uint32_t address;
  std::span<const uint8_t> bytes;
};

// Builds one write request for a block; a view holding nothing when it cannot.
using WriteBuilder = std::function<sProtocolBuffer(const sImageBlock& block)>;

// Cuts length bytes of image into consecutive blocks of blockSize bytes (the
// last one shorter when length is not a multiple), block k at baseAddress +
// k * blockSize, and builds one write for each, in order. Empty when length or
// blockSize is 0, blockSize exceeds kMaxWriteBlockSize, image is null, the
// image would run past the end of the 32-bit address space, or any write
// cannot be built (the writes built so far are released).
std::vector<sProtocolBuffer> BuildImageWrites(const uint8_t* image, uint32_t length, uint32_t blockSize,
                                              uint32_t baseAddress, const WriteBuilder& buildWrite);
