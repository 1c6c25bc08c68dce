// The look through /proc for the holders of a port, over a fake /proc tree:
// which descriptors count, how a holder is named, and the time limit.
#include "host/port_holders_posix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "temp_tree.h"

namespace {

using namespace std::chrono_literals;

// Process numbers above any pid_max, so that none is this test's own.
void AddProcess(const cTempTree& proc, const std::string& pid, const std::string& comm,
                const std::vector<std::string>& links) {
  proc.Write(pid + "/comm", comm);
  const std::filesystem::path fd = proc.MakeFolder(pid + "/fd");
  for (size_t n = 0; n < links.size(); ++n) std::filesystem::create_symlink(links[n], fd / std::to_string(n));
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PortHolders, AreTheProcessesWithADescriptorLinkingToThePortAsItIsSpelt) {
  cTempTree proc;
  AddProcess(proc, "900000001", "modem-manager\n", {"/dev/null", "socket:[4711]", "/dev/ttyUSB0"});
  AddProcess(proc, "900000002", "\n", {"/dev/ttyUSB0"});
  // Another spelling of the same path is not resolved, and a longer name
  // that starts with the port's is another port.
  AddProcess(proc, "900000003", "other\n", {"/dev/../dev/ttyUSB0", "/dev/ttyUSB01", "/dev/ttyUSB"});
  AddProcess(proc, "self", "not a process\n", {"/dev/ttyUSB0"});
  const host::sPortHolders holders = host::FindPortHolders(proc.Root().string(), "/dev/ttyUSB0", 60s);
  EXPECT_EQ(Sorted(holders.names), (std::vector<std::string>{"modem-manager (pid 900000001)", "pid 900000002"}));
  EXPECT_FALSE(holders.cutShort);
}

TEST(PortHolders, TheLookStopsWhenItsTimeIsUpAndSaysSo) {
  cTempTree proc;
  for (int pid = 900000001; pid <= 900000050; ++pid) AddProcess(proc, std::to_string(pid), "p\n", {"/dev/ttyUSB0"});
  const host::sPortHolders none = host::FindPortHolders(proc.Root().string(), "/dev/ttyUSB0", 0s);
  EXPECT_TRUE(none.names.empty());
  EXPECT_TRUE(none.cutShort);
  const host::sPortHolders all = host::FindPortHolders(proc.Root().string(), "/dev/ttyUSB0", 60s);
  EXPECT_EQ(all.names.size(), 50u);
  EXPECT_FALSE(all.cutShort);
}

TEST(PortHolders, ProcessesThatCannotBeLookedIntoAreNoHolders) {
  cTempTree proc;
  proc.Write("900000001/comm", "no fd folder\n");
  AddProcess(proc, "900000002", "", {"/dev/ttyUSB0"});  // no name at all
  const host::sPortHolders holders = host::FindPortHolders(proc.Root().string(), "/dev/ttyUSB0", 60s);
  EXPECT_EQ(holders.names, std::vector<std::string>{"pid 900000002"});
  EXPECT_TRUE(host::FindPortHolders((proc.Root() / "missing").string(), "/dev/ttyUSB0", 60s).names.empty());
}

}  // namespace
