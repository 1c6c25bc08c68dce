// The HDLC server's framing of requests and its decoding of the received
// stream into logged packets, driven directly (no worker, no port).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "device/hdlc/hdlc_protocol_server.h"
#include "framing/hdlc_codec.h"
#include "protocol/shared_buffer.h"
#include "test_support.h"

namespace {

constexpr int32_t kTransmitKind = kBufferKindSdlSent;
constexpr int32_t kReceiveKind = kBufferKindSdlReceived;
constexpr uint8_t kAbortCode = 0x99;
constexpr uint8_t kAnswerCode = 0x42;

// Answers packets of kAnswerCode, aborts on kAbortCode, and records what it
// was asked.
class cTestHdlcServer : public cHDLCProtocolServer {
 public:
  cTestHdlcServer() : cHDLCProtocolServer(kTransmitKind, kReceiveKind, 16) {}

  // One read of bytes, as the port would deliver it.
  bool Receive(const Bytes& bytes, int32_t& logIndex, bool& abort) {
    std::copy(bytes.begin(), bytes.end(), GetReceiveBuffer());
    abort = false;
    return DecodeReceived(static_cast<uint32_t>(bytes.size()), logIndex, abort);
  }
  sSharedBuffer* Encode(sSharedBuffer* payload, bool& encoded) { return EncodeRequest(payload, encoded); }

  std::vector<Bytes> asked;

 protected:
  bool IsResponse(const sProtocolBuffer& packet) override {
    asked.push_back(BytesOf(packet));
    return packet.GetCode() == kAnswerCode;
  }
  bool IsAbortIndication(const sProtocolBuffer& packet) override { return packet.GetCode() == kAbortCode; }
};

Bytes Frame(const Bytes& payload) { return EncodeHdlcFrame(payload.data(), payload.size()); }

TEST(HdlcServerEncode, FramesThePayloadWithItsKind) {
  cTestHdlcServer server;
  const sProtocolBuffer payload = Packet(kTransmitKind, {0x7C});
  bool encoded = false;
  sSharedBuffer* frame = server.Encode(payload.GetShared(), encoded);
  EXPECT_TRUE(encoded);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(Bytes(frame->GetData(), frame->GetData() + frame->GetSize()), (Bytes{0x7E, 0x7C, 0x93, 0x49, 0x7E}));
  EXPECT_EQ(frame->GetKind(), kTransmitKind);
  // The next encode replaces it.
  const sProtocolBuffer next = Packet(kTransmitKind, {0x0B});
  frame = server.Encode(next.GetShared(), encoded);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(Bytes(frame->GetData(), frame->GetData() + frame->GetSize()), (Bytes{0x7E, 0x0B, 0xAB, 0x4E, 0x7E}));
}

TEST(HdlcServerEncode, RefusesMissingPayloadAndOversizedFrames) {
  cTestHdlcServer server;
  bool encoded = false;
  EXPECT_EQ(server.Encode(nullptr, encoded), nullptr);
  // The largest write the protocols send, fully escaped, still fits.
  const sProtocolBuffer write = Packet(kTransmitKind, Bytes(8199, 0x7E));
  sSharedBuffer* frame = server.Encode(write.GetShared(), encoded);
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(frame->GetSize(), 2u * 8199 + 2 + 2);
  // A frame beyond the largest shared buffer cannot be sent.
  const sProtocolBuffer huge = Packet(kTransmitKind, Bytes(9000, 0x7D));
  EXPECT_EQ(server.Encode(huge.GetShared(), encoded), nullptr);
}

TEST(HdlcServerDecode, LogsEveryPacketAndReportsTheLastAnswer) {
  cTestHdlcServer server;
  const uint32_t before = server.GetLog().GetCount();
  int32_t logIndex = 0;
  bool abort = false;
  Bytes read = Frame({0x10, 1});
  for (const Bytes& payload : {Bytes{kAnswerCode, 1}, Bytes{0x0E}, Bytes{kAnswerCode, 2}}) {
    const Bytes frame = Frame(payload);
    read.insert(read.end(), frame.begin(), frame.end());
  }
  EXPECT_TRUE(server.Receive(read, logIndex, abort));
  EXPECT_FALSE(abort);
  EXPECT_EQ(server.GetLog().GetCount(), before + 4);
  EXPECT_EQ(logIndex, static_cast<int32_t>(before + 3));
  EXPECT_EQ(server.asked.size(), 4u);
  sProtocolBuffer logged;
  server.GetLog().Get(logged, before + 3);
  EXPECT_EQ(BytesOf(logged), (Bytes{kAnswerCode, 2}));
  EXPECT_EQ(logged.GetShared()->GetKind(), kReceiveKind);
}

TEST(HdlcServerDecode, FrameSplitOverReadsIsDecodedWhenItsFlagArrives) {
  cTestHdlcServer server;
  const Bytes frame = Frame({kAnswerCode, 0x7E});
  int32_t logIndex = 0;
  bool abort = false;
  EXPECT_FALSE(server.Receive(Bytes(frame.begin(), frame.end() - 1), logIndex, abort));
  EXPECT_EQ(logIndex, -1);
  EXPECT_EQ(server.GetLog().GetCount(), 0u);
  EXPECT_TRUE(server.Receive({kHdlcFlag}, logIndex, abort));
  EXPECT_EQ(logIndex, 0);
}

TEST(HdlcServerDecode, AbortIndicationIsNotOfferedAsAnswer) {
  cTestHdlcServer server;
  int32_t logIndex = 0;
  bool abort = false;
  EXPECT_FALSE(server.Receive(Frame({kAbortCode}), logIndex, abort));
  EXPECT_TRUE(abort);
  EXPECT_TRUE(server.asked.empty());
  EXPECT_EQ(server.GetLog().GetCount(), 1u);
}

TEST(HdlcServerDecode, DamagedAndOversizedFramesLeaveNoTrace) {
  cTestHdlcServer server;
  int32_t logIndex = 0;
  bool abort = false;
  Bytes damaged = Frame({kAnswerCode, 1});
  damaged[1] ^= 0x01;
  EXPECT_FALSE(server.Receive(damaged, logIndex, abort));
  // A payload beyond the largest shared buffer is no packet.
  EXPECT_FALSE(server.Receive(Frame(Bytes(16641, kAnswerCode)), logIndex, abort));
  EXPECT_FALSE(server.Receive({}, logIndex, abort));
  EXPECT_EQ(server.GetLog().GetCount(), 0u);
  EXPECT_TRUE(server.asked.empty());
  // The largest packet is fine.
  EXPECT_TRUE(server.Receive(Frame(Bytes(16640, kAnswerCode)), logIndex, abort));
}

}  // namespace
