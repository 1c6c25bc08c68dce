// Preparation work before the line gets busy: parsing the embedded Intel HEX
// programmer and cutting the embedded device image into SDL writes.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "device/sdl/sdl_packets.h"
#include "image/hex_file.h"
#include "image/memory_mapped_file.h"
#include "platform/module.h"

namespace {

constexpr uint16_t kProgrammerResource = 130;
constexpr uint16_t kDeviceImageResource = 131;

// Bytes processed are the bytes of HEX text read.
void BM_HexParseProgrammer(benchmark::State& state) {
  const cMemoryMappedFile text(platform::GetProgramModule(), kProgrammerResource);
  for (auto _ : state) {
    const cHexFile hex(platform::GetProgramModule());
    if (hex.Error != 0) state.SkipWithError("the embedded programmer does not parse");
    benchmark::DoNotOptimize(hex.ImageLength);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.Size));
}
BENCHMARK(BM_HexParseProgrammer)->Unit(benchmark::kMillisecond);

// Bytes processed are image bytes; range(0) is the block size.
void BM_BuildSdlWrites(benchmark::State& state) {
  const cMemoryMappedFile image(platform::GetProgramModule(), kDeviceImageResource);
  const auto blockSize = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    const auto writes = BuildSdlWriteRequests(image.Data, blockSize, 0x00200000, image.Size);
    if (writes.empty()) state.SkipWithError("no writes built");
    benchmark::DoNotOptimize(writes.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.Size));
}
BENCHMARK(BM_BuildSdlWrites)->Arg(1024)->Arg(4096)->Arg(8192)->Unit(benchmark::kMillisecond);

}  // namespace
