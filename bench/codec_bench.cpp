// Throughput of the framing arithmetic every byte on the serial line goes
// through: CRC-16/X-25, HDLC encoding and HDLC decoding of 8 KiB writes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "framing/hdlc_codec.h"

namespace {

constexpr size_t kWriteSize = 8192;

// A streaming write's worth of random bytes (about 1 in 128 needs escaping).
std::vector<uint8_t> RandomPayload() {
  std::mt19937 generator(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> payload(kWriteSize);
  for (uint8_t& value : payload) value = static_cast<uint8_t>(byte(generator));
  return payload;
}

// The worst case: every byte is a flag or an escape.
std::vector<uint8_t> AllEscapedPayload() {
  std::vector<uint8_t> payload(kWriteSize);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = (i & 1) ? kHdlcFlag : kHdlcEscape;
  return payload;
}

std::vector<uint8_t> Payload(int kind) { return kind == 0 ? RandomPayload() : AllEscapedPayload(); }
const char* PayloadLabel(int kind) { return kind == 0 ? "random" : "all-escaped"; }

void BM_Crc16X25(benchmark::State& state) {
  const std::vector<uint8_t> payload = RandomPayload();
  for (auto _ : state) benchmark::DoNotOptimize(Crc16X25(payload.data(), payload.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}
BENCHMARK(BM_Crc16X25);

// Bytes processed are payload bytes, the unit the link's goodput is measured in.
void BM_HdlcEncode(benchmark::State& state) {
  const std::vector<uint8_t> payload = Payload(static_cast<int>(state.range(0)));
  std::vector<uint8_t> frame(HdlcFrameCapacity(payload.size()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(EncodeHdlcFrameInto(payload.data(), payload.size(), frame.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
  state.SetLabel(PayloadLabel(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_HdlcEncode)->Arg(0)->Arg(1);

// Decodes a read of 64 KiB of back-to-back frames, as the server's read
// completion hands them over.
void BM_HdlcDecode(benchmark::State& state) {
  const std::vector<uint8_t> payload = Payload(static_cast<int>(state.range(0)));
  const std::vector<uint8_t> frame = EncodeHdlcFrame(payload.data(), payload.size());
  std::vector<uint8_t> stream;
  size_t frames = 0;
  while (stream.size() + frame.size() <= 65536 || frames == 0) {
    stream.insert(stream.end(), frame.begin(), frame.end());
    ++frames;
  }
  cHdlcDeframer deframer(16640);
  size_t decoded = 0;
  for (auto _ : state) {
    deframer.Feed(stream.data(), stream.size(), [&](const uint8_t*, size_t size) { decoded += size; });
  }
  if (decoded != state.iterations() * frames * payload.size()) state.SkipWithError("frames lost");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frames * payload.size()));
  state.SetLabel(PayloadLabel(static_cast<int>(state.range(0))));
}
BENCHMARK(BM_HdlcDecode)->Arg(0)->Arg(1);

}  // namespace
