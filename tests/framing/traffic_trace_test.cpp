// The traffic trace's line format, which support tools and the whole-upgrade
// test read, the trace file written from several threads at once, and the
// bounded queue that keeps a slow file from holding up the line.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framing/line_writer.h"
#include "framing/traffic_trace.h"
#include "trace_notes.h"

namespace {

TEST(TrafficTrace, LineHoldsTimeDirectionPhaseCodeAndBytes) {
  std::string line;
  const uint8_t packet[] = {0x07, 0x00, 0x00, 0x20, 0x00, 0xAB};
  FormatTraceLine(line, std::chrono::microseconds(1234567), eTraceDirection::Sent, "SDL", packet, sizeof packet);
  EXPECT_EQ(line, "   1234567 tx     SDL  07 07 00 00 20 00 ab\n");
  const uint8_t damaged[] = {0x7E, 0x01};
  FormatTraceLine(line, std::chrono::microseconds(12345678901), eTraceDirection::ReceivedDamaged, "DIAG", damaged,
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
    // Room for every line: the writers outrun any file.
    const std::unique_ptr<cTrafficTrace> trace = cTrafficTrace::Open(platform::cOutputFile::AtPath(path.string()),
                                                                     "test", NotesToStandardError(), size_t{64} << 20);
    ASSERT_NE(trace, nullptr);
    std::vector<std::thread> writers;
    for (uint8_t code = 1; code <= 4; ++code) {
      writers.emplace_back([&trace, code] {
        const std::vector<uint8_t> packet(4096, code);
        for (int i = 0; i < 200; ++i) trace->Frame(eTraceDirection::Received, "SDL", packet.data(), packet.size());
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

// A file that takes no line until it is released, as one on a stuck disk.
class cHeldFile {
 public:
  bool Write(const std::string& line) {
    std::unique_lock guard(lock_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(guard, [this] { return released_; });
    lines_.push_back(line);
    changed_.notify_all();
    return true;
  }
  void AwaitWriter() {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return entered_; });
  }
  void Release() {
    std::lock_guard guard(lock_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<std::string> Lines() {
    std::lock_guard guard(lock_);
    return lines_;
  }
  // The lines once there are count of them, or after a minute.
  std::vector<std::string> AwaitLines(size_t count) {
    std::unique_lock guard(lock_);
    changed_.wait_for(guard, std::chrono::minutes(1), [&] { return lines_.size() >= count; });
    return lines_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool released_ = false;
  std::vector<std::string> lines_;
};

cLineWriter::Sink Into(const std::shared_ptr<cHeldFile>& file) {
  return [file](const std::string& line) { return file->Write(line); };
}

TEST(LineWriter, AStuckFileCostsLinesThatAreCountedNeverTheProducersTime) {
  const auto file = std::make_shared<cHeldFile>();
  cLineWriter writer(Into(file), 10);
  ASSERT_TRUE(writer.Start());
  ASSERT_TRUE(writer.Push("one\n"));
  file->AwaitWriter();  // now held in the file with the first line
  EXPECT_TRUE(writer.Push("two\n"));
  EXPECT_TRUE(writer.Push("six\n"));
  EXPECT_FALSE(writer.Push("ten\n"));  // 12 bytes would wait: dropped
  EXPECT_FALSE(writer.Push("!!!\n"));
  EXPECT_TRUE(writer.Push("."));
  EXPECT_EQ(writer.Dropped(), 2u);
  file->Release();
  EXPECT_TRUE(writer.Finish("# end\n", 5000));
  EXPECT_EQ(file->Lines(), (std::vector<std::string>{"one\n", "two\n", "six\n", ".", "# end\n"}));
}

TEST(LineWriter, FinishWaitsForAStuckFileNoLongerThanItSays) {
  const auto file = std::make_shared<cHeldFile>();
  {
    cLineWriter writer(Into(file), 100);
    ASSERT_TRUE(writer.Start());
    ASSERT_TRUE(writer.Push("one\n"));
    file->AwaitWriter();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(writer.Finish("# end\n", 200));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
  // The writer outlives its owner and still ends once the file takes the rest.
  file->Release();
  EXPECT_EQ(file->AwaitLines(2), (std::vector<std::string>{"one\n", "# end\n"}));
}

// The program's trace is finished at exit while a worker it could not stop
// may still hand it lines: those are refused, neither queued nor counted.
TEST(LineWriter, ALinePushedAfterFinishIsRefused) {
  const auto file = std::make_shared<cHeldFile>();
  file->Release();
  cLineWriter writer(Into(file), 100);
  ASSERT_TRUE(writer.Start());
  ASSERT_TRUE(writer.Push("one\n"));
  ASSERT_TRUE(writer.Finish("# end\n", 5000));
  EXPECT_FALSE(writer.Push("late\n"));
  EXPECT_EQ(writer.Dropped(), 0u);
  EXPECT_EQ(file->Lines(), (std::vector<std::string>{"one\n", "# end\n"}));
}

TEST(TrafficTrace, FramesThatFindTheQueueFullAreCountedInTheTraceAndOnStandardError) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "zntv-traffic-trace-drops.txt";
  const std::vector<uint8_t> packet(1000, 0x07);  // a line of some 3000 bytes
  testing::internal::CaptureStderr();
  {
    const std::unique_ptr<cTrafficTrace> trace =
        cTrafficTrace::Open(platform::cOutputFile::AtPath(path.string()), "test", NotesToStandardError(), 1024);
    ASSERT_NE(trace, nullptr);
    for (int i = 0; i < 3; ++i) trace->Frame(eTraceDirection::Sent, "SDL", packet.data(), packet.size());
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "test: the traffic trace to " + path.string() + " left out 3 lines: the file did not keep up\n");
  const std::vector<std::string> lines = ReadLines(path);
  std::filesystem::remove(path);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("# test traffic trace: ", 0), 0u);
  EXPECT_EQ(lines[1], "# 3 lines left out: the file did not keep up");
}

}  // namespace
