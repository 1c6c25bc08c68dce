// The trace file on Linux, where the program often runs as root in folders
// other users can write to: what it refuses to write into (and leaves as it
// was, unopened), the folders it refuses to pass through, and the mode of
// what it writes.
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

#include "framing/traffic_trace.h"
#include "open_watch_posix.h"
#include "platform/handle.h"
#include "pseudo_terminal_posix.h"
#include "trace_notes.h"

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
    opened =
        cTrafficTrace::Open(platform::cOutputFile::AtPath(path.string()), "test", NotesToStandardError()) != nullptr;
    return testing::internal::GetCapturedStderr();
  }
  std::string Refused(const fs::path& path, const std::string& why) {
    return "test: refusing to write the traffic trace to " + path.string() + ": " + why + "\n";
  }
  static std::string Read(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  fs::path Victim(const fs::path& folder) {
    const fs::path victim = folder / "victim";
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
  const fs::path victim = Victim(folder_);
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
  const fs::path other = Victim(folder_);
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

// Neither a device node (a serial line's open raises its modem lines) nor a
// FIFO with a reader waiting for a writer is opened to be looked at.
TEST_F(TraceFile, ADeviceNodeOrAFifoIsRefusedWithoutBeingOpened) {
  std::string terminal;
  const platform::cHandle master = test_support::OpenPseudoTerminal(terminal);
  ASSERT_TRUE(master.IsValid());
  const fs::path fifo = folder_ / "trace.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const platform::cHandle reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(reader.IsValid());
  for (const fs::path& node : {fs::path(terminal), fifo}) {
    const test_support::cOpenWatch watch(node.string());
    ASSERT_TRUE(watch.IsValid()) << node;
    bool opened = true;
    EXPECT_EQ(OpenTrace(node, opened), Refused(node, "it is not a regular file"));
    EXPECT_FALSE(opened);
    EXPECT_FALSE(watch.SawOpen()) << node << " was opened";
  }
}

// Another user's folder holding a link to a folder of root's: the trace goes
// neither through the link nor into the other user's folder.
TEST_F(TraceFile, ALinkAmongItsFoldersIsRefusedAndWhatItLeadsToIsLeftAlone) {
  ASSERT_EQ(geteuid(), 0u) << "only root can give the test a folder of another user";
  const fs::path rootOnly = folder_ / "root-only";
  fs::create_directory(rootOnly);
  const fs::path victim = Victim(rootOnly);
  fs::permissions(victim, fs::perms(0644));
  const fs::path shared = folder_ / "shared";
  fs::create_directory(shared);
  fs::create_directory_symlink(rootOnly, shared / "logs");
  fs::create_directory_symlink(rootOnly, folder_ / "logs");
  ASSERT_EQ(lchown(shared.c_str(), 65534, 65534), 0);
  const std::pair<fs::path, std::string> cases[] = {
      {shared / "logs" / "victim", "the folder " + shared.string() + " belongs to another user (uid 65534)"},
      {folder_ / "logs" / "victim", "the folder " + (folder_ / "logs").string() + " is a symbolic link"},
  };
  for (const auto& [path, why] : cases) {
    bool opened = true;
    EXPECT_EQ(OpenTrace(path, opened), Refused(path, why));
    EXPECT_FALSE(opened);
    EXPECT_EQ(Read(victim), "precious\n");
    struct stat status {};
    ASSERT_EQ(stat(victim.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
  }
}

// As the program names it: relative to the working directory, which the
// message spells out in full.
TEST_F(TraceFile, ARelativePathThroughALinkIsRefused) {
  const fs::path elsewhere = folder_ / "elsewhere";
  fs::create_directory(elsewhere);
  fs::create_directory_symlink(elsewhere, folder_ / "logs");
  const fs::path before = fs::current_path();
  fs::current_path(folder_);
  bool opened = true;
  const std::string said = OpenTrace("logs/t.txt", opened);
  fs::current_path(before);
  EXPECT_EQ(said, Refused("logs/t.txt", "the folder " + (folder_ / "logs").string() + " is a symbolic link"));
  EXPECT_FALSE(opened);
  EXPECT_FALSE(fs::exists(elsewhere / "t.txt"));
}

// A folder others may write to is refused unless it is sticky, where no one
// can rename or remove a file of another user.
TEST_F(TraceFile, AFolderOthersMayWriteIsRefusedUnlessItIsSticky) {
  const fs::path open = folder_ / "open", sticky = folder_ / "sticky";
  fs::create_directory(open);
  fs::create_directory(sticky);
  fs::permissions(open, fs::perms(0777));
  fs::permissions(sticky, fs::perms(01777));
  bool opened = true;
  EXPECT_EQ(OpenTrace(open / "t.txt", opened),
            Refused(open / "t.txt", "the folder " + open.string() + " can be written by other users"));
  EXPECT_FALSE(opened);
  EXPECT_FALSE(fs::exists(open / "t.txt"));
  EXPECT_EQ(OpenTrace(sticky / "t.txt", opened), "");
  EXPECT_TRUE(opened);
}

TEST_F(TraceFile, AStickyFolderOfAnotherUserIsRefused) {
  ASSERT_EQ(geteuid(), 0u) << "only root can give the test a folder of another user";
  const fs::path sticky = folder_ / "sticky";
  fs::create_directory(sticky);
  fs::permissions(sticky, fs::perms(01777));
  ASSERT_EQ(chown(sticky.c_str(), 65534, 65534), 0);
  bool opened = true;
  EXPECT_EQ(OpenTrace(sticky / "t.txt", opened),
            Refused(sticky / "t.txt", "the folder " + sticky.string() + " belongs to another user (uid 65534)"));
  EXPECT_FALSE(opened);
  EXPECT_FALSE(fs::exists(sticky / "t.txt"));
}

}  // namespace
