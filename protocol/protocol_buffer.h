// A counted, timestamped view of one shared buffer: the value type in which
// packets, requests and log entries are passed around, and the base of every
// device protocol's packet class.
//
// Threads: one object is used by one thread at a time; threads exchange
// packets by copying or assigning them (which shares the bytes).
#pragma once
#include <cstdint>

#include "protocol/shared_buffer.h"

class sProtocolBuffer {
 public:
  // Holds nothing, timestamp zero, not valid.
  sProtocolBuffer();
  // Timestamp = now; holds a reference to shared when it is a valid buffer
  // (else holds nothing); valid = whether it was. Does not call Validate():
  // packet classes apply their own rule after this construction.
  explicit sProtocolBuffer(sSharedBuffer* shared);
  // Shares the source's buffer, timestamp and validity (holds nothing when the
  // source holds no valid buffer).
  sProtocolBuffer(const sProtocolBuffer& other);
  sProtocolBuffer& operator=(const sProtocolBuffer& other);
  virtual ~sProtocolBuffer();

  // The cached validity.
  virtual bool IsValid() const;
  // Recomputes and caches the validity: base rule, a valid buffer is held.
  // Packet classes override it with their format checks.
  virtual bool Validate();

  // Each of these answers through IsValid(): null, 0, null or -1 when not
  // valid. GetCode is the first byte, 0..255.
  uint8_t* GetData() const;
  uint32_t GetSize() const;
  sSharedBuffer* GetShared() const;
  int32_t GetCode() const;
  // System time (100-ns units) at which the view was made from a buffer.
  uint64_t GetTimestamp() const { return timestamp_; }

 protected:
  void SetValid(bool valid) { valid_ = valid; }
  // The held buffer whatever the cached validity (for Validate overrides).
  sSharedBuffer* HeldBuffer() const { return shared_; }

 private:
  void Take(sSharedBuffer* shared);
  void Drop();

  sSharedBuffer* shared_ = nullptr;
  uint64_t timestamp_ = 0;
  bool valid_ = false;
};
