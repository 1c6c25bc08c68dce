// Writes the seed corpus of every fuzz target below a directory given on the
// command line (fuzz/corpus/<target>/...): small, well-formed inputs made with
// the project's own packet builders and framing, from which the fuzzer
// mutates its way to the malformed ones.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "device/diag/diag_packets.h"
#include "device/dl/dl_packets.h"
#include "device/sdl/sdl_packets.h"
#include "framing/hdlc_codec.h"
#include "protocol/shared_buffer.h"

namespace {

using ByteVector = std::vector<uint8_t>;

ByteVector Bytes(std::string_view text) { return ByteVector(text.begin(), text.end()); }

ByteVector Bytes(const sProtocolBuffer& packet) {
  return ByteVector(packet.GetData(), packet.GetData() + packet.GetSize());
}

ByteVector Concat(std::initializer_list<ByteVector> parts) {
  ByteVector all;
  for (const ByteVector& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

void Write(const std::filesystem::path& root, const std::string& target, const std::string& name,
           const ByteVector& bytes) {
  std::filesystem::create_directories(root / target);
  std::ofstream out(root / target / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// One Intel HEX record with its checksum.
std::string HexRecord(uint8_t type, uint16_t address, const ByteVector& data, std::string_view lineEnd) {
  ByteVector body{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                  type};
  body.insert(body.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (uint8_t byte : body) sum += byte;
  body.push_back(static_cast<uint8_t>(-sum));
  std::string line = ":";
  for (uint8_t byte : body) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", byte);
    line += digits;
  }
  return line + std::string(lineEnd);
}

void WriteHexSeeds(const std::filesystem::path& root) {
  const ByteVector code{0x10, 0x20, 0x7E, 0x7D, 0x00, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A};
  for (std::string_view lineEnd : {"\r\n", "\n"}) {
    const std::string text = HexRecord(4, 0, {0x00, 0xB0}, lineEnd) + HexRecord(0, 0x0000, code, lineEnd) +
                             HexRecord(0, 0x0020, {0xAA, 0xBB}, lineEnd) + HexRecord(0, 0x0010, {}, lineEnd) +
                             HexRecord(5, 0, {0x00, 0xB0, 0x00, 0x00}, lineEnd) + HexRecord(1, 0, {}, lineEnd);
    Write(root, "hex_file", lineEnd.size() == 2 ? "programmer_crlf.hex" : "programmer_lf.hex", Bytes(text));
  }
  Write(root, "hex_file", "eof_in_middle.hex",
        Bytes(HexRecord(0, 0xFFF0, code, "\n") + HexRecord(1, 0, {}, "\n") + HexRecord(5, 0, {1, 2, 3, 4}, "\n") +
              HexRecord(1, 0, {}, "")));
}

ByteVector Utf16(std::u16string_view text, bool byteOrderMark) {
  ByteVector bytes = byteOrderMark ? ByteVector{0xFF, 0xFE} : ByteVector{};
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

void WriteTextSeeds(const std::filesystem::path& root) {
  Write(root, "text_file", "ansi_crlf.did", Bytes("a,b,mi_02,c\r\n\"2,3\"\r\n"));
  Write(root, "text_file", "ansi_odd.did", Bytes("a,b"));
  Write(root, "text_file", "ansi_high.did", Bytes("\x80,\x9D\xE9\r\r\n\n"));
  Write(root, "text_file", "utf16_bom.did", Utf16(u"a,b,mi_02,c\n1\n", true));
  Write(root, "text_file", "utf16.did", Utf16(u"x,\u0416,mi_00,\U0001F600\r\n", false));
  Write(root, "description", "taken", Concat({{0x00}, Bytes("0A1B2C3Da,b,mi_02,c\r\n\"2,3\"\r\n")}));
  Write(root, "description", "kinds", Concat({{0x07}, Bytes("ABCDEF01a,,b,mi_02,c\n-1,7x,7 x,0x1,010,4294967296\n")}));
  Write(root, "description", "short", Concat({{0x02}, Bytes("0a1bx,y, mi_02")}));
}

// Module answers as the phases expect them.
std::vector<std::pair<int32_t, ByteVector>> SamplePackets() {
  ByteVector hello = Concat({{kSdlHelloResponseCode},
                             Bytes(kSdlTargetMagic),
                             {3, 2},
                             {0x00, 0x20, 0, 0},
                             {0, 0, 0, 0},
                             {3},
                             Bytes("abc"),
                             {4, 0},
                             {1, 0},
                             {1, 2, 3, 4},
                             {0x01},
                             {0}});
  return {
      {kBufferKindDiagReceived, {kDiagBuildIdCode, 'b', 'u', 'i', 'l', 'd'}},
      {kBufferKindDiagReceived, {0x79, 0x01}},
      {kBufferKindDiagReceived, {0x80, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0x01, 0x80}},
      {kBufferKindDiagSent, Bytes(BuildDiagModeRequest())},
      {kBufferKindDlReceived, {kDlParametersResponseCode, 2, 1, 0x40, 0x00, 0, 0, 0}},
      {kBufferKindDlReceived, {0x02}},
      {kBufferKindDlReceived, {0x03, 0, 1}},
      {kBufferKindDlSent, Bytes(BuildDlWriteRequest(0x12340000, hello.data(), 8))},
      {kBufferKindSdlReceived, hello},
      {kBufferKindSdlReceived, {kSdlWriteResponseCode, 0x00, 0x10, 0x00, 0x00}},
      {kBufferKindSdlReceived, {kSdlErrorCode, 0x05, 0, 0, 0, 0}},
      {kBufferKindSdlReceived, {kSdlLogCode, 'l', 'o', 'g'}},
      {kBufferKindSdlReceived, {kSdlResetResponseCode}},
      {kBufferKindSdlSent, Bytes(BuildSdlHelloRequest())},
      {kBufferKindSdlSent, Bytes(BuildSdlStreamingWrite(0x1000, hello.data(), 16))},
  };
}

void WritePacketSeeds(const std::filesystem::path& root) {
  ByteVector stream;
  int index = 0;
  for (const auto& [kind, packet] : SamplePackets()) {
    // The packet target maps its first byte b to kind b % 7 + 1.
    Write(root, "packets", "packet_" + std::to_string(index), Concat({{static_cast<uint8_t>(kind - 1)}, packet}));
    const ByteVector frame = EncodeHdlcFrame(packet.data(), packet.size());
    // Whole reads, a fixed split, and a read boundary inside the frame.
    Write(root, "hdlc_stream", "frame_" + std::to_string(index), Concat({{0, 0}, frame}));
    Write(root, "hdlc_stream", "split_" + std::to_string(index), Concat({{3, 1, 2, 5, 0}, frame, frame}));
    stream.insert(stream.end(), frame.begin(), frame.end());
    ++index;
  }
  Write(root, "hdlc_stream", "all_small_decoder", Concat({{1, 7, 40}, stream}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS-DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path root = argv[1];
  WriteHexSeeds(root);
  WriteTextSeeds(root);
  WritePacketSeeds(root);
  return 0;
}
