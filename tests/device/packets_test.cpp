// The packet views' validity rules at their boundaries and the bytes of every
// request the host builds.
#include <gtest/gtest.h>

#include <numeric>

#include "device/diag/diag_packets.h"
#include "device/dl/dl_packets.h"
#include "device/sdl/sdl_packets.h"
#include "protocol/shared_buffer.h"
#include "test_support.h"

namespace {

Bytes WithLe16(Bytes bytes, size_t offset, uint16_t value) {
  if (bytes.size() < offset + 2) bytes.resize(offset + 2);
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
  return bytes;
}

bool Unsolicited(const Bytes& bytes) { return IsUnsolicitedDiag(Packet(kBufferKindDiagReceived, bytes)); }

TEST(DiagPackets, ViewAcceptsBothDiagKindsOnly) {
  EXPECT_TRUE(sDiagBuffer(Packet(kBufferKindDiagReceived, {0x7C})).IsValid());
  EXPECT_TRUE(sDiagBuffer(Packet(kBufferKindDiagSent, {0x7C})).IsValid());
  EXPECT_FALSE(sDiagBuffer(Packet(kBufferKindDlReceived, {0x7C})).IsValid());
  EXPECT_EQ(sDiagBuffer(Packet(kBufferKindSdlSent, {0x7C})).GetCode(), -1);
  EXPECT_FALSE(sDiagBuffer(sProtocolBuffer()).IsValid());
  EXPECT_EQ(sDiagBuffer(Packet(kBufferKindDiagReceived, {0xFF})).GetCode(), 255);
}

TEST(DiagPackets, UnsolicitedTableAtItsBoundaries) {
  EXPECT_FALSE(Unsolicited({0x10, 0, 0, 0}));
  EXPECT_TRUE(Unsolicited({0x10, 0, 0, 0, 0}));

  Bytes report(87, 0);
  report[0] = 0x1F;
  EXPECT_FALSE(Unsolicited(report));  // zero field
  EXPECT_TRUE(Unsolicited(WithLe16(report, 1, 0x0100)));
  const Bytes flagged = WithLe16(report, 1, 1);
  EXPECT_FALSE(Unsolicited(Bytes(flagged.begin(), flagged.end() - 1)));  // 86 bytes

  for (uint8_t code : {0x60, 0x74}) {
    EXPECT_FALSE(Unsolicited({code, 0x01}));  // field incomplete
    EXPECT_FALSE(Unsolicited({code, 0x00, 0x00}));
    EXPECT_TRUE(Unsolicited({code, 0x00, 0x01}));
    EXPECT_TRUE(Unsolicited({code, 0x01, 0x00, 0x55}));
  }

  EXPECT_TRUE(Unsolicited({0x79}));

  Bytes status(12, 0);
  status[0] = 0x80;
  status = WithLe16(status, 8, 1);
  EXPECT_FALSE(Unsolicited(WithLe16(status, 10, 0x8000)));
  EXPECT_TRUE(Unsolicited(WithLe16(status, 10, 0x8001)));
  EXPECT_FALSE(Unsolicited(WithLe16(status, 10, 0)));
  EXPECT_FALSE(Unsolicited(WithLe16(WithLe16(status, 10, 1), 8, 0)));
  Bytes shortStatus = WithLe16(status, 10, 1);
  shortStatus.pop_back();
  EXPECT_FALSE(Unsolicited(shortStatus));

  EXPECT_FALSE(Unsolicited({0x7C}));
  EXPECT_FALSE(IsUnsolicitedDiag(sProtocolBuffer()));
}

TEST(DiagPackets, Requests) {
  EXPECT_EQ(BytesOf(BuildDiagBuildIdRequest()), Bytes{0x7C});
  EXPECT_EQ(BytesOf(BuildDiagModeRequest()), (Bytes{0x00, 0x01, 0x00}));
  EXPECT_EQ(BytesOf(BuildDiagDownloadModeRequest()), Bytes{0x3A});
  EXPECT_EQ(BuildDiagModeRequest().GetShared()->GetKind(), kBufferKindDiagSent);
}

bool DlRequestValid(const Bytes& bytes, int32_t kind = kBufferKindDlSent) {
  return sDownloadRequest(Packet(kind, bytes)).IsValid();
}
bool DlResponseValid(const Bytes& bytes, int32_t kind = kBufferKindDlReceived) {
  return sDownloadResponse(Packet(kind, bytes)).IsValid();
}

TEST(DlPackets, RequestLengths) {
  EXPECT_TRUE(DlRequestValid({0x01, 0, 0, 0, 0x00, 0x02, 0xAA, 0xBB}));
  EXPECT_FALSE(DlRequestValid({0x01, 0, 0, 0, 0x00, 0x02, 0xAA}));
  EXPECT_TRUE(DlRequestValid({0x01, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(DlRequestValid({0x01, 0, 0, 0, 0}));
  EXPECT_TRUE(DlRequestValid(Bytes(7, 0x04)));
  EXPECT_FALSE(DlRequestValid(Bytes(6, 0x04)));
  EXPECT_TRUE(DlRequestValid({0x05, 1, 2, 3, 4}));
  EXPECT_FALSE(DlRequestValid({0x05, 1, 2, 3, 4, 5}));
  for (uint8_t code : {0x06, 0x07, 0x0A, 0x0C, 0x0E}) {
    EXPECT_TRUE(DlRequestValid({code}));
    EXPECT_FALSE(DlRequestValid({code, 0}));
  }
  EXPECT_TRUE(DlRequestValid(Bytes(6, 0x09)));
  EXPECT_TRUE(DlRequestValid(Bytes(9, 0x0B)));
  EXPECT_FALSE(DlRequestValid(Bytes(8, 0x0B)));
  EXPECT_TRUE(DlRequestValid({0x0F, 0, 0, 0, 0, 0x00, 0x01, 0x42}));
  EXPECT_FALSE(DlRequestValid({0x0F, 0, 0, 0, 0, 0x00, 0x02, 0x42}));
  EXPECT_FALSE(DlRequestValid({0x0F, 0, 0, 0, 0, 0x00}));
  EXPECT_FALSE(DlRequestValid({0x02}));
  EXPECT_FALSE(DlRequestValid({0x07}, kBufferKindDlReceived));
}

TEST(DlPackets, ResponseLengths) {
  EXPECT_TRUE(DlResponseValid({0x02}));
  EXPECT_FALSE(DlResponseValid({0x02, 0}));
  EXPECT_TRUE(DlResponseValid({0x03, 0, 0}));
  EXPECT_TRUE(DlResponseValid(Bytes(8, 0x08)));
  EXPECT_FALSE(DlResponseValid(Bytes(7, 0x08)));
  EXPECT_FALSE(DlResponseValid(Bytes(9, 0x08)));
  EXPECT_TRUE(DlResponseValid(Bytes(22, 0x0D)));
  EXPECT_FALSE(DlResponseValid(Bytes(21, 0x0D)));
  EXPECT_FALSE(DlResponseValid({0x07}));
  EXPECT_FALSE(DlResponseValid({0x02}, kBufferKindDlSent));
}

TEST(DlPackets, ParametersResponseFieldsAreBigEndian) {
  const auto parameters =
      ReadDlParameters(sDownloadResponse(Packet(kBufferKindDlReceived, {0x08, 3, 1, 0x40, 0x00, 9, 9, 9})));
  ASSERT_TRUE(parameters);
  EXPECT_EQ(parameters->currentVersion, 3u);
  EXPECT_EQ(parameters->minimumVersion, 1u);
  EXPECT_EQ(parameters->maxWriteSize, 16384u);
  EXPECT_FALSE(ReadDlParameters(sDownloadResponse(Packet(kBufferKindDlReceived, {0x03, 0, 0}))));
}

TEST(DlPackets, GoAndWriteRequestBytes) {
  EXPECT_EQ(BytesOf(BuildDlGoRequest(0x12345678)), (Bytes{0x05, 0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(BytesOf(BuildDlParametersRequest()), Bytes{0x07});
  Bytes data(4096);
  std::iota(data.begin(), data.end(), uint8_t{0});
  const sProtocolBuffer write = BuildDlWriteRequest(0x12340000, data.data(), 4096);
  const Bytes bytes = BytesOf(write);
  ASSERT_EQ(bytes.size(), 7u + 4096);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 7), (Bytes{0x0F, 0x12, 0x34, 0x00, 0x00, 0x10, 0x00}));
  EXPECT_EQ(Bytes(bytes.begin() + 7, bytes.end()), data);
  EXPECT_TRUE(sDownloadRequest(write).IsValid());
  EXPECT_FALSE(BuildDlWriteRequest(0, data.data(), 0).GetShared());
  Bytes big(8193);
  EXPECT_TRUE(BuildDlWriteRequest(0, big.data(), 8192).GetShared());
  EXPECT_FALSE(BuildDlWriteRequest(0, big.data(), 8193).GetShared());
}

// Checks that writes cover image from base in blocks of blockSize, in order.
template <class AddressOf, class DataOf>
void ExpectCut(const std::vector<sProtocolBuffer>& writes, const Bytes& image, uint32_t blockSize, uint32_t base,
               AddressOf addressOf, DataOf dataOf) {
  ASSERT_EQ(writes.size(), (image.size() + blockSize - 1) / blockSize);
  for (size_t k = 0; k < writes.size(); ++k) {
    const size_t offset = k * blockSize;
    const size_t size = std::min<size_t>(blockSize, image.size() - offset);
    EXPECT_EQ(addressOf(writes[k]), base + offset) << k;
    EXPECT_EQ(dataOf(writes[k]), Bytes(image.begin() + static_cast<std::ptrdiff_t>(offset),
                                       image.begin() + static_cast<std::ptrdiff_t>(offset + size)))
        << k;
  }
}

uint32_t DlAddress(const sProtocolBuffer& w) {
  const Bytes b = BytesOf(w);
  return uint32_t{b[1]} << 24 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 8 | b[4];
}
Bytes DlData(const sProtocolBuffer& w) {
  const Bytes b = BytesOf(w);
  return Bytes(b.begin() + 7, b.end());
}

Bytes Pattern(size_t size) {
  Bytes image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return image;
}

TEST(DlPackets, WriteRequestCutting) {
  const Bytes image = Pattern(8193);
  ExpectCut(BuildDlWriteRequests(8192, image.data(), 8193, 0x00B00000), image, 8192, 0x00B00000, DlAddress, DlData);
  const Bytes exact = Pattern(16384);
  ExpectCut(BuildDlWriteRequests(8192, exact.data(), 16384, 0x1000), exact, 8192, 0x1000, DlAddress, DlData);
  ExpectCut(BuildDlWriteRequests(1, image.data(), 5, 7), Bytes(image.begin(), image.begin() + 5), 1, 7, DlAddress,
            DlData);

  EXPECT_TRUE(BuildDlWriteRequests(0, image.data(), 8193, 0).empty());
  EXPECT_TRUE(BuildDlWriteRequests(8193, image.data(), 8193, 0).empty());
  EXPECT_TRUE(BuildDlWriteRequests(4096, image.data(), 0, 0).empty());
  EXPECT_TRUE(BuildDlWriteRequests(4096, nullptr, 10, 0).empty());
  // An image that would run past the end of the address space is refused
  // rather than wrapped around to address 0; one that ends exactly there fits.
  EXPECT_TRUE(BuildDlWriteRequests(4096, image.data(), 4097, 0xFFFFF000).empty());
  EXPECT_EQ(BuildDlWriteRequests(4096, image.data(), 4096, 0xFFFFF000).size(), 1u);
}

Bytes HelloResponse(uint8_t minVersion, uint8_t idLength, uint16_t window, uint16_t tableEntries) {
  Bytes hello = {0x02};
  hello.insert(hello.end(), kSdlTargetMagic.begin(), kSdlTargetMagic.end());
  hello.push_back(5);                                             // highest version
  hello.push_back(minVersion);                                    // lowest version
  for (uint8_t b : {0x00, 0x10, 0x00, 0x00}) hello.push_back(b);  // max write 4096
  for (uint8_t b : {0x00, 0x00, 0xB0, 0x00}) hello.push_back(b);  // base 0x00B00000
  hello.push_back(idLength);
  for (uint8_t i = 0; i < idLength; ++i) hello.push_back(static_cast<uint8_t>(0xA0 + i));
  hello.push_back(static_cast<uint8_t>(window));
  hello.push_back(static_cast<uint8_t>(window >> 8));
  hello.push_back(static_cast<uint8_t>(tableEntries));
  hello.push_back(static_cast<uint8_t>(tableEntries >> 8));
  for (uint32_t i = 0; i < 4u * tableEntries; ++i) hello.push_back(0xEE);
  hello.push_back(0x5A);  // feature mask
  return hello;
}

bool HelloValid(const Bytes& bytes, int32_t kind = kBufferKindSdlReceived) {
  return sSDLHello(Packet(kind, bytes)).IsValid();
}

TEST(SdlPackets, HelloRequest) {
  const sProtocolBuffer request = BuildSdlHelloRequest();
  Bytes expected(36);
  expected[0] = 0x01;
  std::copy(kSdlHostMagic.begin(), kSdlHostMagic.end(), expected.begin() + 1);
  expected[33] = 0x02;
  expected[34] = 0x02;
  expected[35] = 0x01;
  EXPECT_EQ(BytesOf(request), expected);
  EXPECT_TRUE(sSDLHello(request).IsValid());
  EXPECT_FALSE(HelloValid(expected));  // a request is not a response
  Bytes wrongMagic = expected;
  wrongMagic[32] ^= 1;
  EXPECT_FALSE(HelloValid(wrongMagic, kBufferKindSdlSent));
  expected.push_back(0);
  EXPECT_FALSE(HelloValid(expected, kBufferKindSdlSent));
}

TEST(SdlPackets, HelloResponseValidityWithNAndS) {
  for (uint8_t n : {0, 1, 7}) {
    for (uint16_t s : {0, 1, 3}) {
      const Bytes hello = HelloResponse(2, n, 4, s);
      ASSERT_EQ(hello.size(), 49u + n + 4u * s);
      // Exactly 49 + N + 4S bytes: valid only when that also exceeds 49 + N.
      EXPECT_EQ(HelloValid(hello), s > 0) << int{n} << " " << s;
      Bytes longer = hello;
      longer.push_back(0);
      EXPECT_TRUE(HelloValid(longer)) << int{n} << " " << s;
      const Bytes shorter(hello.begin(), hello.end() - 1);
      EXPECT_FALSE(HelloValid(shorter)) << int{n} << " " << s;
    }
  }
  Bytes oldVersion = HelloResponse(1, 0, 4, 1);
  EXPECT_FALSE(HelloValid(oldVersion));
  Bytes wrongMagic = HelloResponse(2, 0, 4, 1);
  wrongMagic[1] ^= 0x20;
  EXPECT_FALSE(HelloValid(wrongMagic));
  EXPECT_FALSE(HelloValid(HelloResponse(2, 0, 4, 1), kBufferKindDlReceived));
  // A huge N or S claimed by a short packet is refused without reading past it.
  const Bytes good = HelloResponse(2, 0, 4, 1);
  Bytes claimsHugeTable = good;
  claimsHugeTable[46] = 0xFF;
  claimsHugeTable[47] = 0xFF;
  EXPECT_FALSE(HelloValid(claimsHugeTable));
  Bytes claimsHugeId(good.begin(), good.begin() + 45);
  claimsHugeId[43] = 0xFF;
  EXPECT_FALSE(HelloValid(claimsHugeId));
  EXPECT_FALSE(HelloValid(Bytes(good.begin(), good.begin() + 44)));
}

TEST(SdlPackets, HelloResponseFields) {
  const auto target =
      ReadSdlTargetParameters(sSDLHello(Packet(kBufferKindSdlReceived, HelloResponse(3, 5, 0x0102, 2))));
  ASSERT_TRUE(target);
  EXPECT_EQ(target->maxVersion, 5u);
  EXPECT_EQ(target->minVersion, 3u);
  EXPECT_EQ(target->maxWriteSize, 4096u);
  EXPECT_EQ(target->baseAddress, 0x00B00000u);
  EXPECT_EQ(target->windowSize, 0x0102u);
  EXPECT_EQ(target->featureMask, 0x5Au);
  EXPECT_FALSE(ReadSdlTargetParameters(sSDLHello(BuildSdlHelloRequest())));
}

TEST(SdlPackets, StreamingWriteAndResponseValidity) {
  auto valid = [](int32_t kind, const Bytes& bytes) { return sSDLStreamingWrite(Packet(kind, bytes)).IsValid(); };
  EXPECT_TRUE(valid(kBufferKindSdlSent, {0x07, 0, 0, 0, 0, 0x42}));
  EXPECT_FALSE(valid(kBufferKindSdlSent, {0x07, 0, 0, 0, 0}));
  EXPECT_FALSE(valid(kBufferKindSdlSent, {0x08, 0, 0, 0, 0}));
  EXPECT_TRUE(valid(kBufferKindSdlReceived, {0x08, 0x78, 0x56, 0x34, 0x12}));
  EXPECT_FALSE(valid(kBufferKindSdlReceived, {0x08, 0x78, 0x56, 0x34}));
  EXPECT_FALSE(valid(kBufferKindSdlReceived, {0x08, 0x78, 0x56, 0x34, 0x12, 0}));
  EXPECT_FALSE(valid(kBufferKindSdlReceived, {0x07, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(valid(kBufferKindDlReceived, {0x08, 0, 0, 0, 0}));
  EXPECT_EQ(sSDLStreamingWrite(Packet(kBufferKindSdlReceived, {0x08, 0x78, 0x56, 0x34, 0x12})).Address(), 0x12345678u);
}

uint32_t SdlAddress(const sProtocolBuffer& w) { return *sSDLStreamingWrite(w).Address(); }
Bytes SdlData(const sProtocolBuffer& w) {
  const Bytes b = BytesOf(w);
  return Bytes(b.begin() + 5, b.end());
}

TEST(SdlPackets, WriteRequestCutting) {
  const Bytes image = Pattern(1000000);
  const std::vector<sProtocolBuffer> writes = BuildSdlWriteRequests(image.data(), 4096, 0x00B00000, 1000000);
  ASSERT_EQ(writes.size(), 245u);
  EXPECT_EQ(SdlData(writes.back()).size(), 576u);
  EXPECT_EQ(SdlAddress(writes.back()), 0x00B00000u + 999424u);
  ExpectCut(writes, image, 4096, 0x00B00000, SdlAddress, SdlData);
  for (const sProtocolBuffer& write : writes) {
    EXPECT_TRUE(sSDLStreamingWrite(write).IsValid());
    EXPECT_EQ(write.GetShared()->GetKind(), kBufferKindSdlSent);
  }
  EXPECT_EQ(BytesOf(BuildSdlStreamingWrite(0x12345678, image.data(), 1)),
            (Bytes{0x07, 0x78, 0x56, 0x34, 0x12, image[0]}));
  EXPECT_TRUE(BuildSdlWriteRequests(image.data(), 8193, 0, 1000000).empty());
  EXPECT_TRUE(BuildSdlWriteRequests(image.data(), 0, 0, 1000000).empty());
  EXPECT_TRUE(BuildSdlWriteRequests(image.data(), 4096, 0, 0).empty());
  EXPECT_EQ(BuildSdlWriteRequests(image.data(), 8192, 0, 8193).size(), 2u);
  EXPECT_EQ(BytesOf(BuildSdlResetRequest()), Bytes{0x0B});
}

}  // namespace
