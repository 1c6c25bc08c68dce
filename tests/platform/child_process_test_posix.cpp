// An instance that cannot be started: it says why on its error stream, as if
// it had printed it, and its status is a failure, while the others are
// started all the same.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
    statuses = RunProgramInstances({{{L"--version"}, {}}, {{L"--version"}, {}}},
                                   [&errors](size_t instance, eChildStream stream, std::string_view line) {
                                     if (stream == eChildStream::Error) {
                                       errors.push_back(std::to_string(instance) + " " + std::string(line));
                                     }
                                   });
  }
  EXPECT_EQ(statuses, (std::vector<int>{-1, -1}));
  ASSERT_EQ(errors.size(), 2u);
  for (size_t i = 0; i < errors.size(); ++i) {
    EXPECT_EQ(errors[i].rfind(std::to_string(i) + " could not start /", 0), 0u) << errors[i];
    EXPECT_NE(errors[i].find(": Too many open files"), std::string::npos) << errors[i];
  }
}

}  // namespace
}  // namespace platform
