// An instance that cannot be started: it says why on its error stream, as if
// it had printed it, and its status is a failure, while the others are
// started all the same. An instance silent for the limit is reported as not
// finished and not waited for.
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/child_process.h"

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

TEST(ProgramInstances, OnesThatCannotStartSayWhyOnTheirErrorStream) {
  std::vector<std::string> errors;
  std::vector<int> statuses;
  {
    const cNoFreeDescriptor full;
    statuses = RunProgramInstances(
        {{{L"--version"}, {}}, {{L"--version"}, {}}},
        [&errors](size_t instance, eChildStream stream, std::string_view line) {
          if (stream == eChildStream::Error) {
            errors.push_back(std::to_string(instance) + " " + std::string(line));
          }
        },
        std::chrono::seconds(10));
  }
  EXPECT_EQ(statuses, (std::vector<int>{-1, -1}));
  ASSERT_EQ(errors.size(), 2u);
  for (size_t i = 0; i < errors.size(); ++i) {
    EXPECT_EQ(errors[i].rfind(std::to_string(i) + " could not start /", 0), 0u) << errors[i];
    EXPECT_NE(errors[i].find(": Too many open files"), std::string::npos) << errors[i];
  }
}

// Run as an instance by the test below (this test program is the program the
// instances run): silent for three seconds after its start lines, as a hung
// upgrade would be, then gone, so that it outlives the test only briefly.
TEST(ProgramInstances, DISABLED_SilentInstance) { poll(nullptr, 0, 3000); }

TEST(ProgramInstances, OneSilentForTheLimitIsReportedAsNotFinishedAndNotWaitedFor) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> errors;
  const std::vector<int> statuses = RunProgramInstances(
      {{{L"--gtest_also_run_disabled_tests", L"--gtest_filter=ProgramInstances.DISABLED_SilentInstance"},
        {"GTEST_TOTAL_SHARDS=1", "GTEST_SHARD_INDEX=0"}}},
      [&errors](size_t instance, eChildStream stream, std::string_view line) {
        if (stream == eChildStream::Error) errors.push_back(std::to_string(instance) + " " + std::string(line));
      },
      std::chrono::seconds(1));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(statuses, (std::vector<int>{-1}));
  EXPECT_EQ(errors, (std::vector<std::string>{"0 did not finish: no output for 1 s"}));
  EXPECT_LT(took, std::chrono::milliseconds(2500));
}

}  // namespace
}  // namespace platform
