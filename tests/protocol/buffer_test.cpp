// Shared buffers, packet views and requests: sizes, counting, ownership.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/clock.h"
#include "protocol/protocol_buffer.h"
#include "protocol/protocol_request.h"
#include "test_server.h"

namespace {

std::vector<uint8_t> Bytes(size_t size, uint8_t first = 0x10) {
  std::vector<uint8_t> bytes(size, 0x55);
  if (size) bytes[0] = first;
  return bytes;
}

TEST(SharedBuffer, CopiesBetweenOneAndTheMaximumSize) {
  const auto max = Bytes(kMaxSharedBufferSize);
  sSharedBuffer full(3, kMaxSharedBufferSize, max.data());
  EXPECT_TRUE(full.IsValid());
  EXPECT_EQ(full.GetSize(), kMaxSharedBufferSize);
  EXPECT_NE(full.GetData(), max.data());
  EXPECT_EQ(full.GetKind(), 3);
  EXPECT_EQ(full.GetRefCount(), 0u);

  const auto over = Bytes(kMaxSharedBufferSize + 1);
  sSharedBuffer tooBig(3, kMaxSharedBufferSize + 1, over.data());
  sSharedBuffer empty(3, 0, max.data());
  sSharedBuffer noBytes(3, 4, static_cast<const uint8_t*>(nullptr));
  for (const sSharedBuffer* refused : {&tooBig, &empty, &noBytes}) {
    EXPECT_FALSE(refused->IsValid());
    EXPECT_EQ(refused->GetData(), nullptr);
    EXPECT_EQ(refused->GetSize(), 0u);
  }
}

TEST(SharedBuffer, AdoptionTakesTheArrayOrLeavesItWithTheCaller) {
  auto bytes = std::make_unique<uint8_t[]>(8);
  uint8_t* raw = bytes.get();
  sSharedBuffer adopted(5, 8, std::move(bytes));
  EXPECT_TRUE(adopted.IsValid());
  EXPECT_EQ(adopted.GetData(), raw);
  EXPECT_EQ(bytes, nullptr);

  auto kept = std::make_unique<uint8_t[]>(kMaxSharedBufferSize + 1);
  sSharedBuffer refused(5, kMaxSharedBufferSize + 1, std::move(kept));
  EXPECT_FALSE(refused.IsValid());
  EXPECT_NE(kept, nullptr);
}

TEST(SharedBuffer, LastReleaseDestroysIncludingANeverReferencedBuffer) {
  sSharedBuffer* buffer = MakePayload(Bytes(4));
  buffer->AddRef();
  buffer->AddRef();
  buffer->Release();
  EXPECT_EQ(buffer->GetRefCount(), 1u);
  buffer->Release();  // freed here (AddressSanitizer checks it is, once)

  MakePayload(Bytes(4))->Release();  // count 0: destroyed at once
}

TEST(ProtocolBuffer, ViewOfAnInvalidBufferHoldsNothing) {
  sSharedBuffer* invalid = new sSharedBuffer(3, 0, static_cast<const uint8_t*>(nullptr));
  {
    sProtocolBuffer view(invalid);
    EXPECT_FALSE(view.IsValid());
    EXPECT_EQ(view.GetData(), nullptr);
    EXPECT_EQ(view.GetSize(), 0u);
    EXPECT_EQ(view.GetShared(), nullptr);
    EXPECT_EQ(view.GetCode(), -1);
    EXPECT_NE(view.GetTimestamp(), 0u);
  }
  EXPECT_EQ(invalid->GetRefCount(), 0u);  // never referenced, so still ours
  invalid->Release();
}

TEST(ProtocolBuffer, CodeIsTheFirstByteUnsigned) {
  sProtocolBuffer view(MakePayload(Bytes(3, 0xFF)));
  EXPECT_EQ(view.GetCode(), 255);
}

TEST(ProtocolBuffer, DefaultHasZeroTimestampAndCopiesKeepTheSourceTime) {
  EXPECT_EQ(sProtocolBuffer().GetTimestamp(), 0u);
  const uint64_t before = platform::GetSystemTime();
  sProtocolBuffer made(MakePayload(Bytes(2)));
  EXPECT_GE(made.GetTimestamp(), before);
  EXPECT_LE(made.GetTimestamp(), platform::GetSystemTime());
  sProtocolBuffer copy(made);
  sProtocolBuffer assigned;
  assigned = made;
  EXPECT_EQ(copy.GetTimestamp(), made.GetTimestamp());
  EXPECT_EQ(assigned.GetTimestamp(), made.GetTimestamp());
}

TEST(ProtocolBuffer, CopiesShareTheBytesAndCountEachHolder) {
  sSharedBuffer* shared = MakePayload(Bytes(6));
  sProtocolBuffer first(shared);
  {
    sProtocolBuffer copy(first);
    sProtocolBuffer assigned;
    assigned = first;
    EXPECT_EQ(copy.GetData(), first.GetData());
    EXPECT_EQ(shared->GetRefCount(), 3u);
    assigned = copy;  // the same buffer: count unchanged
    EXPECT_EQ(shared->GetRefCount(), 3u);
    const sProtocolBuffer& alias = assigned;
    assigned = alias;  // itself
    EXPECT_EQ(shared->GetRefCount(), 3u);
  }
  EXPECT_EQ(shared->GetRefCount(), 1u);
}

TEST(ProtocolBuffer, AssigningAnEmptyViewDropsTheHeldBuffer) {
  sSharedBuffer* shared = MakePayload(Bytes(6));
  sProtocolBuffer keep(shared);
  sProtocolBuffer view(shared);
  view = sProtocolBuffer();
  EXPECT_FALSE(view.IsValid());
  EXPECT_EQ(view.GetShared(), nullptr);
  EXPECT_EQ(shared->GetRefCount(), 1u);
}

TEST(ProtocolRequest, DefaultsAndAnOwnNotificationPerCopy) {
  auto record = std::make_shared<cEventRecord>();
  const cRecordingNotification notification(record);
  auto original = std::make_unique<sProtocolRequest>(MakePayload(Bytes(4)), &notification);
  EXPECT_EQ(original->delayMs, 0u);
  EXPECT_EQ(original->responseTimeoutMs, 5000u);
  EXPECT_EQ(original->sendCount, 1u);
  EXPECT_EQ(original->resendIntervalMs, 100u);
  EXPECT_EQ(original->extraData, nullptr);
  EXPECT_EQ(original->extraSize, 0u);
  EXPECT_FALSE(original->sendOnly);
  EXPECT_EQ(record->LiveClones(), 2);

  original->sendCount = 3;
  original->sendOnly = true;
  sProtocolRequest copy(*original);
  EXPECT_EQ(record->LiveClones(), 3);
  EXPECT_NE(copy.notification, original->notification);
  original.reset();
  EXPECT_EQ(record->LiveClones(), 2);
  EXPECT_TRUE(copy.IsValid());
  EXPECT_EQ(copy.sendCount, 3u);
  EXPECT_TRUE(copy.sendOnly);
  copy.notification->Notify(eNotifySent, 7, 1);
  EXPECT_EQ(record->Codes(), std::vector<int32_t>{eNotifySent});
}

}  // namespace
