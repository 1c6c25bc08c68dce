// The trace file on Linux, where the program often runs as root in folders
// other users can write to: what it refuses to write into (and leaves as it
// was), and the mode of what it writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "device/hdlc/traffic_trace.h"
#include "platform/handle.h"

namespace {

namespace fs = std::filesystem;

class TraceFile : public testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/zntv-trace-file-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
  }
  void TearDown() override { fs::remove_all(folder_); }

  // What opening the trace at path said on standard error; whether it opened.
  std::string OpenTrace(const fs::path& path, bool& opened) {
    testing::internal::CaptureStderr();
    opened = cTrafficTrace::Open(platform::cOutputFile::AtPath(path.string()), "test") != nullptr;
    return testing::internal::GetCapturedStderr();
  }
  std::string Refused(const fs::path& path, const std::string& why) {
    return "test: refusing to write the traffic trace to " + path.string() + ": " + why + "\n";
  }
  static std::string Read(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  fs::path Victim() {
    const fs::path victim = folder_ / "victim";
    std::ofstream(victim) << "precious\n";
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    return victim;
  }

  fs::path folder_;
};

TEST_F(TraceFile, IsReadableByItsOwnerAlone) {
  const fs::path fresh = folder_ / "fresh.txt";
  const fs::path old = folder_ / "old.txt";
  std::ofstream(old) << "an earlier trace\n";
  fs::permissions(old, fs::perms(0644));
  for (const fs::path& path : {fresh, old}) {
    bool opened = false;
    EXPECT_EQ(OpenTrace(path, opened), "");
    EXPECT_TRUE(opened);
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u) << path;
    EXPECT_EQ(Read(path).rfind("# test traffic trace: ", 0), 0u) << "written afresh: " << path;
  }
}

// A name planted by another user, linking to a file root cares about.
TEST_F(TraceFile, ALinkIsRefusedAndWhatItNamesIsLeftAlone) {
  const fs::path victim = Victim();
  const fs::path symbolic = folder_ / "symbolic.txt", hard = folder_ / "hard.txt";
  fs::create_symlink(victim, symbolic);
  fs::create_hard_link(victim, hard);
  for (const auto& [link, why] : {std::pair{symbolic, "it is a symbolic link"}, std::pair{hard, "it has 2 links"}}) {
    bool opened = true;
    EXPECT_EQ(OpenTrace(link, opened), Refused(link, why));
    EXPECT_FALSE(opened);
    EXPECT_EQ(Read(victim), "precious\n");
  }
}

TEST_F(TraceFile, AFileOfAnotherUserIsRefusedAndLeftAlone) {
  ASSERT_EQ(geteuid(), 0u) << "only root can give the test a file of another user";
  const fs::path other = Victim();
  fs::permissions(other, fs::perms(0666));
  ASSERT_EQ(chown(other.c_str(), 65534, 65534), 0);
  bool opened = true;
  EXPECT_EQ(OpenTrace(other, opened), Refused(other, "it belongs to another user (uid 65534)"));
  EXPECT_FALSE(opened);
  EXPECT_EQ(Read(other), "precious\n");
}

// Neither without a reader nor with one that never reads does the open wait.
TEST_F(TraceFile, AFifoIsRefusedWithoutWaiting) {
  const fs::path fifo = folder_ / "trace.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  bool opened = true;
  EXPECT_EQ(OpenTrace(fifo, opened), Refused(fifo, "it is not a regular file"));
  EXPECT_FALSE(opened);
  const platform::cHandle reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(reader.IsValid());
  EXPECT_EQ(OpenTrace(fifo, opened), Refused(fifo, "it is not a regular file"));
  EXPECT_FALSE(opened);
}

}  // namespace
