// How a protocol server reports what became of a request: the event codes,
// the abstract receiver a request carries, and the receiver that appends each
// event to an event history for a waiting client thread.
//
// Threads: Notify runs on the server's worker thread; the event history is
// read on the client thread. A notification may outlive the client's wait
// (the server still holds a clone); a late Notify then does nothing.
#pragma once
#include <cstdint>
#include <memory>

#include "protocol/history_queue.h"

// Event codes and the value each one carries.
enum eNotifyCode : int32_t {
  eNotifyFailed = 0,      // 0, or 995 when cancelled during transmission
  eNotifySent = 1,        // log sequence number of the transmitted packet
  eNotifyNoResponse = 2,  // 0 on time-out; the platform's error when the
                          // response timer cannot be armed; 995 when cancelled
  eNotifyResponse = 3,    // log sequence number of the response packet
  eNotifyProgress = 4,    // bytes of extra data written by the chunk just done
};

class cProtocolNotification {
 public:
  virtual ~cProtocolNotification() = default;
  // A new receiver of the same events, owned by the caller; null when it
  // cannot be allocated.
  virtual std::unique_ptr<cProtocolNotification> Clone() const = 0;
  virtual void Notify(int32_t code, uint32_t requestId, uint32_t value) = 0;
};

struct sRequestEvent {
  int32_t code;
  uint32_t requestId;
  uint32_t value;
};

using RequestEventHistory = cHistoryQueue<sRequestEvent>;
inline constexpr uint32_t kRequestEventHistoryCapacity = 12;

// Appends every event with a known code to an event history. The history is
// shared by the waiting client and all clones; the notification does not keep
// it alive: once the client has dropped it, Notify does nothing.
class cProtocolQueueNotification : public cProtocolNotification {
 public:
  explicit cProtocolQueueNotification(const std::shared_ptr<RequestEventHistory>& history);
  std::unique_ptr<cProtocolNotification> Clone() const override;
  void Notify(int32_t code, uint32_t requestId, uint32_t value) override;

 private:
  std::weak_ptr<RequestEventHistory> history_;
};
