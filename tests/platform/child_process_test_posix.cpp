// An instance that cannot be started is given up on at once with the
// system's code of the failed start, while the others are started all the
// same. An instance silent for the limit is given up on as not finished and
// not waited for. The runner starts instances at any time, and its wait
// ends at its deadline or at an instance's end, and it keeps nothing of the
// instances that have ended.
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "heap_in_use_posix.h"
#include "platform/child_process.h"
#include "platform/errors.h"

namespace platform {
namespace {

// While it lives, this process can open no further descriptor.
class cNoFreeDescriptor {
 public:
  cNoFreeDescriptor() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    const int lowestFree = dup(STDIN_FILENO);
    close(lowestFree);
    rlimit none = saved_;
    none.rlim_cur = static_cast<rlim_t>(lowestFree);
    setrlimit(RLIMIT_NOFILE, &none);
  }
  ~cNoFreeDescriptor() { setrlimit(RLIMIT_NOFILE, &saved_); }
  cNoFreeDescriptor(const cNoFreeDescriptor&) = delete;
  cNoFreeDescriptor& operator=(const cNoFreeDescriptor&) = delete;

 private:
  rlimit saved_{};
};

TEST(ProgramInstances, OnesThatCannotStartAreGivenUpOnWithTheSystemsCode) {
  std::vector<size_t> givenUp;
  std::vector<sInstanceEnd> ends;
  {
    const cNoFreeDescriptor full;
    ends = RunProgramInstances(
        {{{L"--version"}, {}}, {{L"--version"}, {}}}, [](size_t, eChildStream, std::string_view) {},
        [&givenUp](size_t instance, const sInstanceEnd& end) {
          EXPECT_EQ(end.how, eInstanceEnd::NotStarted);
          givenUp.push_back(instance);
        },
        std::chrono::seconds(10));
  }
  EXPECT_EQ(givenUp, (std::vector<size_t>{0, 1}));
  ASSERT_EQ(ends.size(), 2u);
  for (const sInstanceEnd& end : ends) {
    EXPECT_EQ(end.how, eInstanceEnd::NotStarted);
    EXPECT_EQ(end.status.code, kErrorTooManyOpenFiles);
  }
}

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
TEST(ProgramInstances, DISABLED_SilentInstance) { poll(nullptr, 0, 3000); }

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

// A station starts instances for months: what the runner keeps of one must
// go when it ends. Instances that cannot start end at once, so thousands of
// them pass through in a moment.
TEST(InstanceRunner, KeepsNothingOfTheInstancesThatHaveEnded) {
  size_t ended = 0;
  cInstanceRunner runner([](size_t, eChildStream, std::string_view) {},
                         [&ended](size_t, const sInstanceEnd&) { ++ended; }, std::chrono::seconds(10));
  const auto startMany = [&runner](size_t count) {
    const cNoFreeDescriptor full;
    for (size_t i = 0; i < count; ++i) (void)runner.Start({{L"--version"}, {}});
  };
  startMany(100);  // the runner's tables at their size for one instance at a time
  const long long before = HeapInUse();
  startMany(4000);
  EXPECT_LT(HeapInUse() - before, 1024);
  EXPECT_EQ(ended, 4100u);
  EXPECT_EQ(runner.Running(), 0u);
}

}  // namespace
}  // namespace platform
