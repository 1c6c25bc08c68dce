// The traffic trace's line format, which support tools and the whole-upgrade
// test read, and the trace file written from several threads at once.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "device/hdlc/traffic_trace.h"

namespace {

TEST(TrafficTrace, LineHoldsTimeDirectionPhaseCodeAndBytes) {
  std::string line;
  const uint8_t packet[] = {0x07, 0x00, 0x00, 0x20, 0x00, 0xAB};
  FormatTraceLine(line, std::chrono::microseconds(1234567), eTraceDirection::eSent, "SDL", packet, sizeof packet);
  EXPECT_EQ(line, "   1234567 tx     SDL  07 07 00 00 20 00 ab\n");
  const uint8_t damaged[] = {0x7E, 0x01};
  FormatTraceLine(line, std::chrono::microseconds(12345678901), eTraceDirection::eReceivedDamaged, "DIAG", damaged,
                  sizeof damaged);
  EXPECT_EQ(line, "12345678901 rx-bad DIAG 7e 7e 01\n");
}

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

TEST(TrafficTrace, LinesOfConcurrentWritersNeverMix) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "zntv-traffic-trace-test.txt";
  {
    const std::unique_ptr<cTrafficTrace> trace =
        cTrafficTrace::Open(platform::cOutputFile::AtPath(path.string()), "test");
    ASSERT_NE(trace, nullptr);
    std::vector<std::thread> writers;
    for (uint8_t code = 1; code <= 4; ++code) {
      writers.emplace_back([&trace, code] {
        const std::vector<uint8_t> packet(4096, code);
        for (int i = 0; i < 200; ++i) trace->Frame(eTraceDirection::eReceived, "SDL", packet.data(), packet.size());
      });
    }
    for (std::thread& writer : writers) writer.join();
  }
  const std::vector<std::string> lines = ReadLines(path);
  std::filesystem::remove(path);
  ASSERT_EQ(lines.size(), 1u + 4 * 200);
  EXPECT_EQ(lines[0].rfind("# test traffic trace: ", 0), 0u);
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string code = lines[i].substr(lines[i].find("SDL  ") + 5, 2);
    std::string expected = "SDL  " + code;
    for (int b = 0; b < 4096; ++b) expected += " " + code;
    ASSERT_EQ(lines[i].substr(lines[i].find("SDL  ")), expected) << "line " << i;
  }
}

}  // namespace
