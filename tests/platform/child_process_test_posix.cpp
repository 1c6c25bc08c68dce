// An instance that cannot be started is given up on at once with the
// system's code of the failed start, while the others are started all the
// same; and the runner keeps nothing of the instances that have ended.
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
