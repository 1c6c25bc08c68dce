// The per-server record of every packet transmitted and received, numbered by
// a running sequence number: the path by which responses reach the code that
// waits for them (events carry the sequence number; readers fetch by it).
//
// Threads: the server's worker adds; any thread reads; Clear runs on the
// client thread once the worker has stopped. Each operation is atomic.
#pragma once
#include <cstdint>

#include "protocol/history_queue.h"
#include "protocol/protocol_buffer.h"

// Largest number of entries a log keeps.
inline constexpr uint32_t kMaxProtocolLogCapacity = 16384;

class cProtocolLog {
 public:
  // Keeps the most recent min(capacity, kMaxProtocolLogCapacity) entries.
  explicit cProtocolLog(uint32_t capacity);
  virtual ~cProtocolLog() = default;
  cProtocolLog(const cProtocolLog&) = delete;
  cProtocolLog& operator=(const cProtocolLog&) = delete;

  // Records a copy of buffer (sharing its bytes, keeping its timestamp); the
  // entry's sequence number, or -1 for an invalid buffer.
  virtual int32_t Add(const sProtocolBuffer& buffer);
  // out = the entry numbered sequence, or an empty, invalid buffer when that
  // entry has been dropped or not given yet. Returns out.
  virtual sProtocolBuffer& Get(sProtocolBuffer& out, uint32_t sequence);
  // Entries ever added since construction or the last Clear (not those held).
  virtual uint32_t GetCount();
  // Blocks until GetCount() exceeds count or timeoutMs has passed, whichever
  // comes first, and returns the count at that moment. Wakes as soon as the
  // worker adds an entry (no polling); returns at once when the count already
  // exceeds count. Any thread, any number of threads at once.
  uint32_t WaitForCountAbove(uint32_t count, uint32_t timeoutMs);
  // Drops every entry; the next one is numbered 0 again.
  virtual void Clear();

 private:
  cHistoryQueue<sProtocolBuffer> store_;
};
