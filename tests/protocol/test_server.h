// A minimal protocol server for the framework's tests (payload sent as it is,
// every received burst one packet, a burst answering the request in flight
// when its first byte is the request's), and a notification that records
// every event with its time.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "fake_module.h"
#include "protocol/notification.h"
#include "protocol/protocol_server.h"

// A received burst starting with this byte orders the request in flight
// aborted.
inline constexpr uint8_t kAbortByte = 0xAB;

enum class eEncoding { AsIs, Framed, Invalid };

class cTestServer : public cProtocolServer {
 public:
  explicit cTestServer(int32_t transmitKind = kBufferKindDiagSent);
  ~cTestServer() override;

  // Options; set before the operations they affect.
  std::atomic<bool> configureFails{false};
  std::atomic<uint32_t> readTotalConstantMs{0};  // >0: reads end empty after this
  std::atomic<uint32_t> writeTotalConstantMs{1};
  std::atomic<uint32_t> writeTotalMultiplierMs{1000};
  std::atomic<eEncoding> encoding{eEncoding::AsIs};
  std::atomic<uint32_t> shortCompletions{0};    // that many completions report a byte less
  std::atomic<bool> swallowCompletions{false};  // the core never learns of them
  // >0: ConfigurePort first stalls this long in one system call, as a port
  // open in a driver gone bad does.
  std::atomic<uint32_t> configureStallMs{0};
  // Called by CanSend on the client thread.
  std::function<void(const sProtocolBuffer&)> onCanSend;

  // Observations.
  std::atomic<uint32_t> emptyDecodes{0};
  std::atomic<uint32_t> decodes{0};

  bool CanSend(const sProtocolBuffer& request) override;

 protected:
  bool ConfigurePort() override;
  bool ReleasePort() override { return true; }
  sSharedBuffer* EncodeRequest(sSharedBuffer* payload, bool& encoded) override;
  bool DecodeReceived(uint32_t count, int32_t& logIndex, bool& abort) override;
  void OnTransmitComplete(uint32_t error, uint32_t bytes) override;

 private:
  sProtocolBuffer frame_;  // the last encoded frame, alive until the next
};

struct sRecordedEvent {
  int32_t code;
  uint32_t id;
  uint32_t value;
  Clock::time_point at;
};

// The events of every clone of one cRecordingNotification.
class cEventRecord {
 public:
  void Add(int32_t code, uint32_t id, uint32_t value);
  std::vector<sRecordedEvent> Events();
  std::vector<int32_t> Codes();
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout);
  // True when exactly count clones exist within timeout.
  bool WaitForClones(int count, std::chrono::milliseconds timeout);
  void CloneMade();
  void CloneGone();
  int LiveClones();
  // Notify blocks while held (a worker stuck in a notification).
  void Hold();
  void LetGo();
  // True when a Notify is blocked by Hold within timeout.
  bool WaitForBlockedNotify(std::chrono::milliseconds timeout);

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<sRecordedEvent> events_;
  bool held_ = false;
  int blocked_ = 0;
  int liveClones_ = 0;
};

class cRecordingNotification : public cProtocolNotification {
 public:
  explicit cRecordingNotification(std::shared_ptr<cEventRecord> record);
  ~cRecordingNotification() override;
  std::unique_ptr<cProtocolNotification> Clone() const override;
  void Notify(int32_t code, uint32_t requestId, uint32_t value) override;

 private:
  std::shared_ptr<cEventRecord> record_;
};

// Blocks the calling thread in one system call for ms, marked as a port call
// (platform::InPortCall): on Linux one that the kernel would restart, so
// that only an interrupt without restart breaks it off; on Windows one that
// only ending the thread stops.
void StallInSystemCall(uint32_t ms);

// A new, unreferenced payload of the given kind.
sSharedBuffer* MakePayload(const LineBytes& bytes, int32_t kind = kBufferKindDiagSent);
