// The built program, run as a user runs it: its exact console lines and exit
// status with installed configurations and attached modules in scratch trees.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "temp_tree.h"

namespace {

struct sRun {
  std::string output;
  int status = -1;
};

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs zntv-upgrade with PROGRAMFILES, SYSFS_PATH and DEV_PATH inside tree.
sRun RunProgram(const cTempTree& tree) {
  const std::string root = tree.Root().string();
  std::string command = "env PROGRAMFILES=" + Quoted(root + "/programs") + " SYSFS_PATH=" + Quoted(root + "/sys") +
                        " DEV_PATH=" + Quoted(root + "/dev") + " " + Quoted(ZNTV_BINARY_DIR "/zntv-upgrade") +
                        " </dev/null";
  sRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return run;
  }
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, got);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

void Install(const cTempTree& tree, const std::string& folder, const std::string& file, const std::string& text) {
  tree.Write(std::filesystem::path("programs/Zantrova/Images") / folder / file, text);
}

TEST(UpgradeProgram, NoConfigurationStopsBeforeTheDeviceSearch) {
  cTempTree tree;
  sRun run = RunProgram(tree);
  EXPECT_EQ(run.output, "Required software not found\n");
  EXPECT_EQ(run.status, 255);
}

TEST(UpgradeProgram, ConfigurationWithoutModule) {
  cTempTree tree;
  Install(tree, "Alpha", "0A1B2C3D.did", "a,b,mi_02,c\n");
  tree.MakeFolder("sys/class/tty");
  tree.MakeFolder("dev");
  sRun run = RunProgram(tree);
  EXPECT_EQ(run.output, "System configured for Alpha\nUnable to locate device\nDownload failed\n");
  EXPECT_EQ(run.status, 255);
}

TEST(UpgradeProgram, ReportLinesComeInKeyOrderAndPrintNamesUnchanged) {
  cTempTree tree;
  Install(tree, "A 100%s done", "FFFF0001.did", "a,b,mi_02,c");
  Install(tree, "B %d%n", "00000001.did", "a,b,mi_02,c");
  Install(tree, "C", "5555AAAA.did", "a,b,mi_01,c");
  Install(tree, "C", "5555AAAA.did.old", "a,b,mi_03,c");
  Install(tree, "Excluded", "12345678.did", "a,b,mi_02,c\n\"1\"");
  sRun run = RunProgram(tree);
  EXPECT_EQ(run.output,
            "System configured for B %d%n\n"
            "System configured for C\n"
            "System configured for A 100%s done\n"
            "Unable to locate device\nDownload failed\n");
  EXPECT_EQ(run.status, 255);
}

}  // namespace
