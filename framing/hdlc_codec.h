// The HDLC-style framing shared by every protocol the module speaks: CRC-16/X-25
// frame check sequence, byte stuffing of flags and escapes, and a stream
// decoder that turns arbitrary read boundaries back into checked frames.
// Pure code without any framework or platform dependency, so that the updater
// and the module simulator frame bytes the same way.
//
// Threads: the free functions are reentrant; a cHdlcDeframer belongs to one
// thread at a time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

inline constexpr uint8_t kHdlcFlag = 0x7E, kHdlcEscape = 0x7D;
// An escaped byte travels as kHdlcEscape, byte ^ kHdlcEscapeXor.
inline constexpr uint8_t kHdlcEscapeXor = 0x20;
// Register value after running the CRC over a frame including its own FCS
// (before the final XOR) when the frame is intact.
inline constexpr uint16_t kCrc16X25GoodResidue = 0xF0B8;
inline constexpr size_t kHdlcFcsSize = 2;

// Advances a CRC-16/X-25 register over data (reflected polynomial 0x8408,
// one table lookup per byte, eight bytes per step); no initial value and no
// final XOR applied.
uint16_t Crc16X25Update(uint16_t reg, const uint8_t* data, size_t size);
// The frame check sequence of data: initial register 0xFFFF, final XOR
// 0xFFFF ("123456789" gives 0x906E).
uint16_t Crc16X25(const uint8_t* data, size_t size);

// Bytes needed to frame a payload of payloadSize bytes in the worst case (every
// payload and FCS byte escaped, plus both flags): 2 * payloadSize + 6.
size_t HdlcFrameCapacity(size_t payloadSize);
// Writes flag, escaped payload, escaped FCS (low byte first), flag into out,
// which must hold HdlcFrameCapacity(size) bytes; returns the bytes written.
size_t EncodeHdlcFrameInto(const uint8_t* payload, size_t size, uint8_t* out);
// The same, into a vector of exactly the frame's length.
std::vector<uint8_t> EncodeHdlcFrame(const uint8_t* payload, size_t size);

// Stream decoder. Keeps the bytes of the frame being received (unescaped), how
// many there are and whether the last byte was an escape, across Feed calls,
// so frames may arrive split over reads and several frames in one read. No
// opening flag is needed: a flag closes whatever came before it.
class cHdlcDeframer {
 public:
  // capacity: most unescaped bytes held for one frame; when a frame grows past
  // it without a flag, the held bytes are dropped and the byte that did not
  // fit starts a new frame.
  explicit cHdlcDeframer(size_t capacity);

  // For every frame closed by a flag whose FCS checks and whose payload (frame
  // minus its 2 FCS bytes) is at least 1 byte, calls
  // onFrame(const uint8_t* payload, size_t size). The bytes are valid only
  // during that call. Frames too short to carry an FCS and a payload (an
  // empty frame between two flags among them) are dropped silently, as are
  // frames with a wrong FCS.
  template <class F>
  void Feed(const uint8_t* data, size_t size, F&& onFrame) {
    Feed(data, size, onFrame, [](const uint8_t*, size_t) {});
  }
  // The same, and for every other frame that a flag closes with at least one
  // byte held (a wrong FCS, or too short to carry one), calls
  // onDamaged(const uint8_t* bytes, size_t size) with all of its unescaped
  // bytes, FCS included; an empty frame between two flags is no frame.
  template <class F, class D>
  void Feed(const uint8_t* data, size_t size, F&& onFrame, D&& onDamaged) {
    if (capacity_ == 0) return;
    const uint8_t* const end = data + size;
    while ((data = StoreUntilFlag(data, end)) != end) {
      ++data;  // the flag closes the held frame
      const size_t frameLength = length_;
      length_ = 0;
      if (IsIntactFrame(frameLength)) {
        onFrame(buffer_.get(), frameLength - kHdlcFcsSize);
      } else if (frameLength != 0) {
        onDamaged(buffer_.get(), frameLength);
      }
    }
  }

  size_t HeldBytes() const { return length_; }
  bool EscapePending() const { return escapePending_; }

 private:
  // Unescapes and holds the bytes from data on up to the first flag that is
  // not escaped; returns where that flag is, or end. An escape carries over
  // to the next call; every escaped value is data, a flag value included.
  const uint8_t* StoreUntilFlag(const uint8_t* data, const uint8_t* end);
  void Store(uint8_t byte) {
    if (length_ >= capacity_) length_ = 0;
    buffer_[length_++] = byte;
  }
  // Holds a run of bytes that need no unescaping, restarting the frame
  // whenever it fills up, as Store does byte by byte.
  void StoreRun(const uint8_t* run, size_t size);
  // The held frame has a payload of at least one byte and a matching FCS.
  bool IsIntactFrame(size_t frameLength) const;

  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_;
  size_t length_ = 0;
  bool escapePending_ = false;
};
