// Fuzzes every device packet view and the phases' reads of the fields they
// print. Input: one byte choosing the buffer kind (the received and sent
// kinds of DIAG, DL and SDL, and a kind no protocol uses), then the packet.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/packet_checks.h"

namespace {

std::unique_ptr<fuzz::cTranscript> g_transcript;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_transcript = std::make_unique<fuzz::cTranscript>();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // 2..7 are the protocol kinds; 1 stands for any other.
  const int32_t kind = static_cast<int32_t>(data[0] % 7) + 1;
  fuzz::CheckPacket(kind, {data + 1, size - 1}, *g_transcript);
  return 0;
}
