// Counted, timestamped views of shared buffers.
#include "protocol/protocol_buffer.h"

#include "platform/clock.h"

sProtocolBuffer::sProtocolBuffer() = default;

sProtocolBuffer::sProtocolBuffer(sSharedBuffer* shared) : timestamp_(platform::GetSystemTime()) {
  Take(shared);
  valid_ = shared_ != nullptr;
}

sProtocolBuffer::sProtocolBuffer(const sProtocolBuffer& other) : timestamp_(other.timestamp_) {
  Take(other.shared_);
  valid_ = shared_ != nullptr && other.valid_;
}

sProtocolBuffer& sProtocolBuffer::operator=(const sProtocolBuffer& other) {
  if (this == &other) return *this;
  sSharedBuffer* previous = shared_;
  shared_ = nullptr;
  Take(other.shared_);  // before dropping the old one: the same buffer must survive
  if (previous) previous->Release();
  timestamp_ = other.timestamp_;
  valid_ = shared_ != nullptr && other.valid_;
  return *this;
}

sProtocolBuffer::~sProtocolBuffer() { Drop(); }

bool sProtocolBuffer::IsValid() const { return valid_; }

bool sProtocolBuffer::Validate() {
  valid_ = shared_ != nullptr && shared_->IsValid();
  return valid_;
}

uint8_t* sProtocolBuffer::GetData() const { return IsValid() ? shared_->GetData() : nullptr; }

uint32_t sProtocolBuffer::GetSize() const { return IsValid() ? shared_->GetSize() : 0; }

sSharedBuffer* sProtocolBuffer::GetShared() const { return IsValid() ? shared_ : nullptr; }

int32_t sProtocolBuffer::GetCode() const { return IsValid() ? shared_->GetData()[0] : -1; }

void sProtocolBuffer::Take(sSharedBuffer* shared) {
  if (!shared || !shared->IsValid()) return;
  shared->AddRef();
  shared_ = shared;
}

void sProtocolBuffer::Drop() {
  if (shared_) shared_->Release();
  shared_ = nullptr;
  valid_ = false;
}
