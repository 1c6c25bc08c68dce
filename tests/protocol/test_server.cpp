// The test protocol server and the recording notification.
#include "test_server.h"

#include <algorithm>

cTestServer::cTestServer(int32_t transmitKind) : cProtocolServer(kBufferKindDiagReceived, transmitKind, 64) {}

cTestServer::~cTestServer() { EndWorker(); }

bool cTestServer::CanSend(const sProtocolBuffer& request) {
  if (onCanSend) onCanSend(request);
  return cProtocolServer::CanSend(request);
}

bool cTestServer::ConfigurePort() {
  if (configureStallMs > 0) StallInSystemCall(configureStallMs);
  if (configureFails) return false;
  const sCommTimeouts timeouts{
      .readIntervalMs = 2,
      .readTotalMultiplierMs = 0,
      .readTotalConstantMs = readTotalConstantMs,
      .writeTotalMultiplierMs = writeTotalMultiplierMs,
      .writeTotalConstantMs = writeTotalConstantMs,
  };
  return GetPort().ApplyLineSettings() && GetPort().SetTimeouts(timeouts);
}

sSharedBuffer* cTestServer::EncodeRequest(sSharedBuffer* payload, bool& encoded) {
  switch (encoding.load()) {
    case eEncoding::AsIs:
      return nullptr;
    case eEncoding::Framed: {
      LineBytes frame{0x7E};
      frame.insert(frame.end(), payload->GetData(), payload->GetData() + payload->GetSize());
      frame_ = sProtocolBuffer(MakePayload(frame, payload->GetKind()));
      encoded = true;
      return frame_.GetShared();
    }
    case eEncoding::Invalid:
      encoded = true;
      return nullptr;
  }
  return nullptr;
}

bool cTestServer::DecodeReceived(uint32_t count, int32_t& logIndex, bool& abort) {
  ++decodes;
  if (count == 0) {
    ++emptyDecodes;
    return false;
  }
  const uint8_t* bytes = GetReceiveBuffer();
  const uint32_t size = std::min(count, kMaxSharedBufferSize);
  const int32_t sequence = GetLog().Add(sProtocolBuffer(new sSharedBuffer(GetReceiveKind(), size, bytes)));
  if (bytes[0] == kAbortByte) {
    abort = true;
    return false;
  }
  const sPendingRequest* inFlight = GetInFlightRequest();
  if (!inFlight || !inFlight->awaitingResponse || inFlight->request.GetCode() != bytes[0]) {
    return false;
  }
  logIndex = sequence;
  return true;
}

void cTestServer::OnTransmitComplete(uint32_t error, uint32_t bytes) {
  if (swallowCompletions) return;
  if (shortCompletions > 0) {
    --shortCompletions;
    bytes -= 1;
  }
  cProtocolServer::OnTransmitComplete(error, bytes);
}

void cEventRecord::Add(int32_t code, uint32_t id, uint32_t value) {
  std::unique_lock guard(lock_);
  if (held_) {
    ++blocked_;
    changed_.notify_all();
    changed_.wait(guard, [this] { return !held_; });
    --blocked_;
  }
  events_.push_back({code, id, value, Clock::now()});
  changed_.notify_all();
}

std::vector<sRecordedEvent> cEventRecord::Events() {
  std::lock_guard guard(lock_);
  return events_;
}

std::vector<int32_t> cEventRecord::Codes() {
  std::vector<int32_t> codes;
  for (const sRecordedEvent& event : Events()) codes.push_back(event.code);
  return codes;
}

bool cEventRecord::WaitForCount(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  return changed_.wait_until(guard, Clock::now() + timeout, [&] { return events_.size() >= count; });
}

bool cEventRecord::WaitForClones(int count, std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  return changed_.wait_until(guard, Clock::now() + timeout, [&] { return liveClones_ == count; });
}

void cEventRecord::CloneMade() {
  std::lock_guard guard(lock_);
  ++liveClones_;
}

void cEventRecord::CloneGone() {
  {
    std::lock_guard guard(lock_);
    --liveClones_;
  }
  changed_.notify_all();
}

int cEventRecord::LiveClones() {
  std::lock_guard guard(lock_);
  return liveClones_;
}

void cEventRecord::Hold() {
  std::lock_guard guard(lock_);
  held_ = true;
}

bool cEventRecord::WaitForBlockedNotify(std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  return changed_.wait_until(guard, Clock::now() + timeout, [&] { return blocked_ > 0; });
}

void cEventRecord::LetGo() {
  {
    std::lock_guard guard(lock_);
    held_ = false;
  }
  changed_.notify_all();
}

cRecordingNotification::cRecordingNotification(std::shared_ptr<cEventRecord> record) : record_(std::move(record)) {
  record_->CloneMade();
}

cRecordingNotification::~cRecordingNotification() { record_->CloneGone(); }

std::unique_ptr<cProtocolNotification> cRecordingNotification::Clone() const {
  return std::make_unique<cRecordingNotification>(record_);
}

void cRecordingNotification::Notify(int32_t code, uint32_t requestId, uint32_t value) {
  record_->Add(code, requestId, value);
}

sSharedBuffer* MakePayload(const LineBytes& bytes, int32_t kind) {
  return new sSharedBuffer(kind, static_cast<uint32_t>(bytes.size()), bytes.data());
}
