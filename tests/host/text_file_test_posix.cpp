// The description-file reader on Linux, where anyone who can plant a name in
// an Images folder could point it at a device: what is not a regular file is
// refused without being opened (a serial line's open raises its modem lines).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "host/native_fs_posix.h"
#include "host/text_file.h"
#include "open_watch_posix.h"
#include "platform/errors.h"
#include "platform/handle.h"
#include "pseudo_terminal_posix.h"
#include "temp_tree.h"

namespace {

namespace fs = std::filesystem;

TEST(TextFileRefusal, ALinkToADeviceNodeOrAFifoIsRefusedWithoutBeingOpened) {
  cTempTree tree;
  std::string terminal;
  const platform::cHandle master = test_support::OpenPseudoTerminal(terminal);
  ASSERT_TRUE(master.IsValid());
  const fs::path fifo = tree.MakeFolder("elsewhere") / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const fs::path& node : {fs::path(terminal), fifo}) {
    const fs::path link = tree.MakeFolder("Images/Alpha") / "0A1B2C3D.did";
    fs::remove(link);
    fs::create_symlink(node, link);
    const test_support::cOpenWatch watch(node.string());
    ASSERT_TRUE(watch.IsValid()) << node;
    host::cDB2TextFile file(host::FromNativePath(link.string()).c_str());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Error(), platform::kErrorAccessDenied);
    EXPECT_FALSE(watch.SawOpen()) << node << " was opened";
  }
}

}  // namespace
