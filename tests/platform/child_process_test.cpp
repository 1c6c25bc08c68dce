// Instances of the test program itself: one that fails ends with its exit
// status, one silent for the limit is given up on as not finished and not
// waited for, and the runner starts instances at any time while its wait
// ends at its deadline or at an instance's end.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/child_process.h"

namespace platform {
namespace {

// The failing test program below, as an instance.
sInstance FailingInstance() {
  return {{L"--gtest_also_run_disabled_tests", L"--gtest_filter=ProgramInstances.DISABLED_FailingInstance"},
          {"GTEST_TOTAL_SHARDS=1", "GTEST_SHARD_INDEX=0"}};
}

TEST(ProgramInstances, OnesThatRunEndWithTheirExitStatus) {
  const std::vector<sInstanceEnd> ends = RunProgramInstances(
      {FailingInstance()}, [](size_t, eChildStream, std::string_view) {},
      [](size_t, const sInstanceEnd&) { ADD_FAILURE() << "given up on"; }, std::chrono::seconds(10));
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].how, eInstanceEnd::Exited);
  EXPECT_EQ(ends[0].exitStatus, 1);  // a failed test
}

// Run as an instance by the test above: a test program whose one test fails.
TEST(ProgramInstances, DISABLED_FailingInstance) { ADD_FAILURE() << "fails on purpose"; }

// Run as an instance by the test below (this test program is the program the
// instances run): silent for three seconds after its start lines, as a hung
// upgrade would be, then gone, so that it outlives the test only briefly.
TEST(ProgramInstances, DISABLED_SilentInstance) { std::this_thread::sleep_for(std::chrono::seconds(3)); }

TEST(ProgramInstances, OneSilentForTheLimitIsReportedAsNotFinishedAndNotWaitedFor) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<size_t> givenUp;
  const std::vector<sInstanceEnd> ends = RunProgramInstances(
      {{{L"--gtest_also_run_disabled_tests", L"--gtest_filter=ProgramInstances.DISABLED_SilentInstance"},
        {"GTEST_TOTAL_SHARDS=1", "GTEST_SHARD_INDEX=0"}}},
      [](size_t, eChildStream, std::string_view) {},
      [&givenUp](size_t instance, const sInstanceEnd& end) {
        EXPECT_EQ(end.how, eInstanceEnd::NotFinished);
        givenUp.push_back(instance);
      },
      std::chrono::seconds(1));
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].how, eInstanceEnd::NotFinished);
  EXPECT_EQ(givenUp, (std::vector<size_t>{0}));
  EXPECT_LT(took, std::chrono::milliseconds(2500));
}

TEST(InstanceRunner, WithoutInstancesItWaitsForItsDeadline) {
  cInstanceRunner runner([](size_t, eChildStream, std::string_view) { ADD_FAILURE() << "a line"; },
                         [](size_t, const sInstanceEnd&) { ADD_FAILURE() << "an end"; }, std::chrono::seconds(10));
  const auto start = cInstanceRunner::Clock::now();
  EXPECT_EQ(runner.RelayUntil(start + std::chrono::milliseconds(300)), eRelayWake::Deadline);
  EXPECT_GE(cInstanceRunner::Clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(runner.Running(), 0u);
}

TEST(InstanceRunner, InstancesStartedOneAfterAnotherEndEachAsItComes) {
  std::vector<std::pair<size_t, int>> ends;
  size_t lines = 0;
  cInstanceRunner runner([&lines](size_t, eChildStream, std::string_view) { ++lines; },
                         [&ends](size_t instance, const sInstanceEnd& end) {
                           EXPECT_EQ(end.how, eInstanceEnd::Exited);
                           ends.emplace_back(instance, end.exitStatus);
                         },
                         std::chrono::seconds(10));
  const auto forever = cInstanceRunner::Clock::time_point::max();
  EXPECT_EQ(runner.Start(FailingInstance()), 0u);
  EXPECT_EQ(runner.Running(), 1u);
  EXPECT_EQ(runner.RelayUntil(forever), eRelayWake::Ended);
  EXPECT_EQ(ends, (std::vector<std::pair<size_t, int>>{{0, 1}}));
  EXPECT_EQ(runner.Running(), 0u);
  EXPECT_GT(lines, 0u);
  EXPECT_EQ(runner.Start(FailingInstance()), 1u);
  EXPECT_EQ(runner.RelayUntil(forever), eRelayWake::Ended);
  EXPECT_EQ(ends, (std::vector<std::pair<size_t, int>>{{0, 1}, {1, 1}}));
}

}  // namespace
}  // namespace platform
