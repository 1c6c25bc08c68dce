// The protocol server's request engine, run on its worker thread: ids and the
// schedule, dispatch of one request at a time, transmission in chunks, the
// response time-out, re-sends, the receive path and cancelling.
#include <cstddef>
#include <utility>

#include "platform/clock.h"
#include "platform/errors.h"
#include "protocol/notification.h"
#include "protocol/protocol_server.h"

uint32_t cProtocolServer::NextRequestId() {
  if (++nextRequestId_ == 0) nextRequestId_ = 1;
  uint32_t id = nextRequestId_;
  while (id == 0 || pending_.count(id) != 0 || (inFlight_ && inFlight_->id == id)) ++id;
  return id;
}

uint32_t cProtocolServer::QueueRequest(std::unique_ptr<sPendingRequest> record, uint32_t& id) {
  id = NextRequestId();
  record->id = id;
  const uint32_t delayMs = record->request.delayMs;
  pending_.emplace(id, std::move(record));
  AddToSchedule(id, delayMs);
  if (delayMs == 0) {
    // Due at once: it goes out now (when the line is free) rather than one
    // wake-up later, when the dispatch timer set to a time already past fires.
    Dispatch();
  } else {
    RearmDispatch();
  }
  return platform::kErrorSuccess;
}

uint32_t cProtocolServer::CancelRequest(uint32_t id) {
  if (pending_.erase(id) != 0) {
    for (auto entry = schedule_.begin(); entry != schedule_.end(); ++entry) {
      if (entry->second != id) continue;
      const bool wasFirst = entry == schedule_.begin();
      schedule_.erase(entry);
      if (wasFirst) RearmDispatch();
      break;
    }
    return platform::kErrorSuccess;
  }
  if (inFlight_ && inFlight_->id == id) {
    CancelInFlight();
    RearmDispatch();  // the requests still scheduled must not wait for a Send
    return platform::kErrorSuccess;
  }
  return platform::kStatusFail;
}

void cProtocolServer::Schedule(uint32_t id, uint32_t delayMs) {
  AddToSchedule(id, delayMs);
  RearmDispatch();
}

void cProtocolServer::AddToSchedule(uint32_t id, uint32_t delayMs) {
  CheckClock();
  schedule_.insert({lastClockReading_ + uint64_t{delayMs} * platform::kHundredNsPerMs, id});
}

void cProtocolServer::RearmDispatch() {
  if (schedule_.empty()) {
    dispatchTimer_->Cancel();
  } else {
    // Fails only for a timer that is not valid, and a server without one
    // never starts its worker.
    static_cast<void>(dispatchTimer_->SetAbsolute(schedule_.begin()->first));
  }
}

void cProtocolServer::CheckClock() {
  const uint64_t now = platform::GetSystemTime();
  if (now < lastClockReading_) {
    // The system clock was set back: everything scheduled is due now.
    std::set<ScheduleEntry> due;
    for (const ScheduleEntry& entry : schedule_) due.insert({now, entry.second});
    schedule_.swap(due);
    RearmDispatch();
  }
  lastClockReading_ = now;
}

void cProtocolServer::Dispatch() {
  CheckClock();
  // One request at a time, and none while the port still has a write of a
  // finished request outstanding.
  if (inFlight_ || writeBusy_ || schedule_.empty()) return;
  const auto [due, id] = *schedule_.begin();
  if (due > lastClockReading_) {
    RearmDispatch();  // woken early: wait for the first entry's time
    return;
  }
  schedule_.erase(schedule_.begin());
  const auto record = pending_.find(id);
  if (record == pending_.end()) {
    RearmDispatch();
    return;
  }
  inFlight_ = std::move(record->second);
  pending_.erase(record);
  sPendingRequest& request = *inFlight_;
  if (request.request.sendCount != kSendUnlimited) ++request.sendsMade;

  sSharedBuffer* payload = request.request.GetShared();
  bool encoded = false;
  sSharedBuffer* frame = EncodeRequest(payload, encoded);
  const sSharedBuffer* wire = encoded ? frame : payload;
  if (!wire || !wire->IsValid()) {
    FailInFlight();
    return;
  }
  request.expectedBytes = wire->GetSize();
  if (!WriteInFlight(wire->GetData(), wire->GetSize())) FailInFlight();
}

bool cProtocolServer::WriteInFlight(const uint8_t* data, uint32_t size) {
  if (!port_.Write(data, size)) return false;
  writeBusy_ = true;
  return true;
}

void cProtocolServer::OnWriteDone(uint32_t error, uint32_t bytes) {
  writeBusy_ = false;
  const bool requestGone = !inFlight_;
  OnTransmitComplete(error, bytes);
  if (requestGone) RearmDispatch();  // dispatch waited for this write to end
  ReleaseHeldRead();
}

void cProtocolServer::OnTransmitComplete(uint32_t error, uint32_t bytes) {
  if (!inFlight_) return;
  sPendingRequest& request = *inFlight_;
  if (error != 0 || bytes != request.expectedBytes) {
    FailInFlight();
    return;
  }
  if (request.chunkCount != 0 && request.chunkIndex != 0) NotifyInFlight(eNotifyProgress, bytes);
  if (request.chunkIndex < request.chunkCount) {
    WriteNextChunk();
  } else {
    CompleteTransmission();
  }
}

void cProtocolServer::WriteNextChunk() {
  sPendingRequest& request = *inFlight_;
  const uint32_t extraSize = request.request.extraSize;
  const uint8_t* start = request.request.extraData + size_t{request.chunkIndex} * kExtraDataChunkSize;
  ++request.chunkIndex;
  uint32_t length = kExtraDataChunkSize;
  if (request.chunkCount == 1) {
    length = extraSize;
  } else if (request.chunkIndex == request.chunkCount && extraSize % kExtraDataChunkSize != 0) {
    length = extraSize % kExtraDataChunkSize;
  }
  request.expectedBytes = length;
  if (!WriteInFlight(start, length)) FailInFlight();
}

void cProtocolServer::CompleteTransmission() {
  sPendingRequest& request = *inFlight_;
  // The log records the payload as queued, not the encoded bytes.
  const int32_t sequence = log_.Add(sProtocolBuffer(request.request.GetShared()));
  NotifyInFlight(eNotifySent, static_cast<uint32_t>(sequence));
  if (request.request.sendOnly) {
    FinishInFlight();
    return;
  }
  const uint64_t timeout = uint64_t{request.request.responseTimeoutMs} * platform::kHundredNsPerMs;
  if (!responseTimer_->SetRelative(timeout)) {
    NotifyInFlight(eNotifyNoResponse, platform::GetLastErrorCode());
    FinishInFlight();
    return;
  }
  request.awaitingResponse = true;
}

void cProtocolServer::FinishInFlight() {
  std::unique_ptr<sPendingRequest> record = std::move(inFlight_);
  // Unsigned comparison: an unlimited count never runs out.
  if (record->sendsMade < record->request.sendCount) {
    record->ResetTransmission();
    const uint32_t id = record->id;
    const uint32_t interval = record->request.resendIntervalMs;
    pending_.emplace(id, std::move(record));
    Schedule(id, interval);
  } else {
    record.reset();
    RearmDispatch();
  }
}

void cProtocolServer::FailInFlight() {
  if (!inFlight_) return;
  NotifyInFlight(eNotifyFailed, 0);
  FinishInFlight();
}

void cProtocolServer::CancelInFlight() {
  if (inFlight_->awaitingResponse) {
    responseTimer_->Cancel();
    NotifyInFlight(eNotifyNoResponse, platform::kErrorOperationAborted);
  } else {
    port_.PurgeTransmit();
    NotifyInFlight(eNotifyFailed, platform::kErrorOperationAborted);
  }
  inFlight_.reset();
}

void cProtocolServer::OnResponseTimeout() {
  // A timer that fired just before its request finished is stale.
  if (!inFlight_ || !inFlight_->awaitingResponse) return;
  NotifyInFlight(eNotifyNoResponse, 0);
  FinishInFlight();
}

void cProtocolServer::OnReadDone(uint32_t error, uint32_t bytes) {
  if (error != 0 || bytes == 0) {
    port_.ClearErrors();
    StartRead();
    return;
  }
  if (MustHoldRead()) {
    heldReadBytes_ = bytes;
    return;
  }
  int32_t logIndex = -1;
  bool abort = false;
  const bool answered = DecodeReceived(bytes, logIndex, abort);
  if (inFlight_ && abort) {
    port_.PurgeTransmit();
    if (inFlight_->awaitingResponse) responseTimer_->Cancel();  // or it fires at the next one
    FailInFlight();
  } else if (inFlight_ && answered) {
    responseTimer_->Cancel();
    NotifyInFlight(eNotifyResponse, static_cast<uint32_t>(logIndex));
    FinishInFlight();
  }
  StartRead();
}

// The two directions' completions are not ordered: a module that answers at
// once can have its answer read before the write that carried the request is
// reported done (seen with overlapped serial I/O under Wine). Such bytes wait,
// with no further read started, until that transmission is complete, so that
// an answer always meets a request that awaits it instead of being passed over.
bool cProtocolServer::MustHoldRead() const {
  return writeBusy_ && inFlight_ && !inFlight_->awaitingResponse && !inFlight_->request.sendOnly;
}

void cProtocolServer::ReleaseHeldRead() {
  if (heldReadBytes_ == 0 || MustHoldRead()) return;  // e.g. the next chunk is going out
  OnReadDone(0, std::exchange(heldReadBytes_, 0));
}

void cProtocolServer::StartRead() {
  // A read that cannot start ends reading; nothing else can be done about it.
  static_cast<void>(port_.Read(receiveBuffer_.get(), kReceiveBufferSize));
}

void cProtocolServer::NotifyInFlight(int32_t code, uint32_t value) {
  if (cProtocolNotification* notification = inFlight_->request.notification.get()) {
    notification->Notify(code, inFlight_->id, value);
  }
}
