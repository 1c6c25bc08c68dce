// A bounded, thread-safe record of the most recent items of a sequence,
// addressed by running sequence number: the store of the protocol log and the
// event history of the synchronous exchange.
//
// Threads: every operation takes the history's own lock for its whole
// duration, so any thread may append, read or clear. Items are copied in and
// out under that lock (for sProtocolBuffer items this takes the shared-buffer
// lock inside it, the one permitted order). A signalling history sets its
// auto-reset signal after every append; one thread at a time waits on it.
// Any number of threads may wait for the total to pass a value
// (WaitForTotalAbove); every append wakes them.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "platform/sync.h"

template <typename T>
class cHistoryQueue {
 public:
  // capacity 0 keeps every item. A signalling history has an auto-reset
  // signal, initially not set: a flag under the lock, waited for on the
  // condition variable that every append notifies (no descriptor to make and
  // no system call unless a waiter sleeps).
  cHistoryQueue(uint32_t capacity, bool signalling) : signalling_(signalling), capacity_(capacity) {}
  ~cHistoryQueue() {
    std::lock_guard guard(lock_);
    items_.clear();
    total_ = 0;
    marker_ = 0;
  }
  cHistoryQueue(const cHistoryQueue&) = delete;
  cHistoryQueue& operator=(const cHistoryQueue&) = delete;

  // Appends a copy, dropping the oldest item when the history is full; the
  // item's sequence number goes to *sequence. False when no longer alive.
  bool Append(const T& item, uint32_t* sequence = nullptr) {
    {
      std::lock_guard guard(lock_);
      if (marker_ != kAliveMarker) return false;
      if (capacity_ != 0 && items_.size() >= capacity_) items_.pop_front();
      items_.push_back(item);
      if (sequence) *sequence = total_;
      ++total_;
      signalled_ = signalling_;
    }
    // Woken only once the lock is free: a waiter that woke while it was held
    // would spin on it until the appending thread let go.
    appended_.notify_all();
    return true;
  }

  // Copies the item numbered sequence into out when it is still held;
  // otherwise false and out is untouched.
  bool Get(uint32_t sequence, T& out) const {
    std::lock_guard guard(lock_);
    if (marker_ != kAliveMarker) return false;
    const uint32_t first = total_ - static_cast<uint32_t>(items_.size());
    if (sequence < first || sequence >= total_) return false;
    out = items_[sequence - first];
    return true;
  }

  // Items appended since construction or the last Clear.
  uint32_t GetTotal() const {
    std::lock_guard guard(lock_);
    return marker_ == kAliveMarker ? total_ : 0;
  }

  // Drops every item; numbering restarts at 0.
  void Clear() {
    std::lock_guard guard(lock_);
    if (marker_ != kAliveMarker) return;
    items_.clear();
    total_ = 0;
  }

  // Blocks until more than count items have been appended in all, or until
  // timeoutMs has passed, whichever comes first; returns GetTotal() at that
  // moment (compare it with count to tell which). Returns at once when the
  // total already exceeds count. Sleeps on a condition variable that Append
  // notifies: no polling.
  uint32_t WaitForTotalAbove(uint32_t count, uint32_t timeoutMs) const {
    std::unique_lock guard(lock_);
    appended_.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                       [&] { return marker_ != kAliveMarker || total_ > count; });
    return marker_ == kAliveMarker ? total_ : 0;
  }

  // Signalling histories: true when an append set the signal within
  // timeoutMs (consuming it). Always false for a history that does not signal.
  bool WaitForAppend(uint32_t timeoutMs) {
    if (!signalling_) return false;
    std::unique_lock guard(lock_);
    const bool set = appended_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return signalled_; });
    signalled_ = false;
    return set;
  }

 private:
  static constexpr uint32_t kAliveMarker = 0x1799A2BCu;

  uint32_t marker_ = kAliveMarker;
  mutable platform::cCriticalSection lock_{5000};
  mutable std::condition_variable_any appended_;  // notified by Append after each append
  const bool signalling_;
  bool signalled_ = false;  // the auto-reset signal of a signalling history
  uint32_t capacity_;
  uint32_t total_ = 0;
  std::deque<T> items_;
};
