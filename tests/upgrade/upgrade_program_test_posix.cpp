// The built program, run as a user runs it: its exact console lines and exit
// status with installed configurations and attached modules in scratch trees.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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

// Runs zntv-upgrade with PROGRAMFILES, SYSFS_PATH and DEV_PATH inside tree,
// with the given (already quoted) arguments.
sRun RunProgram(const cTempTree& tree, const std::string& arguments = "") {
  const std::string root = tree.Root().string();
  std::string command = "env PROGRAMFILES=" + Quoted(root + "/programs") + " SYSFS_PATH=" + Quoted(root + "/sys") +
                        " DEV_PATH=" + Quoted(root + "/dev") + " " + Quoted(ZNTV_BINARY_DIR "/zntv-upgrade") + " " +
                        arguments + " </dev/null";
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

// The installed configuration the informational arguments must not look at:
// without them the run reports it and searches for its module.
void InstallAlpha(const cTempTree& tree) {
  Install(tree, "Alpha", "0A1B2C3D.did", "a,b,mi_02,c\n");
  tree.MakeFolder("sys/class/tty");
  tree.MakeFolder("dev");
}

// Line <index> (0-based) of the build's list of embedded input files.
std::string EmbeddedInput(int index) {
  std::ifstream list(ZNTV_BINARY_DIR "/resources/embedded_inputs.txt");
  std::string line;
  for (int i = 0; i <= index; ++i) std::getline(list, line);
  return line;
}

// The SHA-256 of a file as coreutils computes it, independent of the build.
std::string Sha256Of(const std::string& path) {
  FILE* pipe = popen(("sha256sum " + Quoted(path)).c_str(), "r");
  if (pipe == nullptr) return {};
  char digest[65] = {};
  const size_t got = fread(digest, 1, 64, pipe);
  pclose(pipe);
  return std::string(digest, got);
}

std::string VersionText() {
  const std::string programmer = EmbeddedInput(0), image = EmbeddedInput(1);
  // The generated sample programmer's shape; the embedded tests pin the same.
  return "zntv-upgrade 1.0.0\n"
         "Flash programmer (FILES 130): " +
         std::to_string(std::filesystem::file_size(programmer)) + " bytes of Intel HEX, SHA-256 " +
         Sha256Of(programmer) +
         "\n"
         "  load address 0x00B00000, entry address 0x00B00000, length 61864 bytes\n"
         "Device image (FILES 131): " +
         std::to_string(std::filesystem::file_size(image)) + " bytes, SHA-256 " + Sha256Of(image) + "\n";
}

TEST(InformationArguments, VersionNamesTheEmbeddedFilesAndSearchesNothing) {
  cTempTree tree;
  InstallAlpha(tree);
  const std::string expected = VersionText();
  ASSERT_EQ(Sha256Of(EmbeddedInput(1)).size(), 64u) << "sha256sum is needed to check the digests";
  sRun run = RunProgram(tree, "--version");
  EXPECT_EQ(run.output, expected);
  EXPECT_EQ(run.status, 0);
  // Anywhere among other arguments; the first of the two decides.
  run = RunProgram(tree, "extra --version --help");
  EXPECT_EQ(run.output, expected);
  EXPECT_EQ(run.status, 0);
}

TEST(InformationArguments, HelpIsTheShortUsageAndSearchesNothing) {
  cTempTree tree;
  InstallAlpha(tree);
  sRun run = RunProgram(tree, "--help --version");
  EXPECT_EQ(run.output, ReadDataFile("help_posix.txt"));
  EXPECT_EQ(run.status, 0);
}

TEST(InformationArguments, ArgumentsThatAreNoOptionsAreIgnored) {
  cTempTree tree;
  InstallAlpha(tree);
  const std::string unattended = "System configured for Alpha\nUnable to locate device\nDownload failed\n";
  for (const char* arguments : {"help", "version ttyUSB0", "'' list"}) {
    sRun run = RunProgram(tree, arguments);
    EXPECT_EQ(run.output, unattended) << arguments;
    EXPECT_EQ(run.status, 255) << arguments;
  }
}

// Standard error joined to standard output: the refusal and the usage, and
// not one line of the run (no configuration report, no search).
TEST(InformationArguments, UnknownOptionsAndMisusedOnesAreRefusedBeforeAnythingElse) {
  cTempTree tree;
  InstallAlpha(tree);
  const std::string usage = "Usage: zntv-upgrade [--list | --port PORT | --all | --help | --version]\n";
  const std::pair<const char*, const char*> cases[] = {
      {"-h", "unknown option -h"},
      {"-V --version", "unknown option -V"},
      {"--Version", "unknown option --Version"},
      {"--help=all", "unknown option --help=all"},
      {"'--version '", "unknown option --version "},
      {"--prot ttyUSB6", "unknown option --prot"},
      {"--help -", "unknown option -"},
      {"--port", "--port needs a port name"},
      {"--port --all", "--port needs a port name"},
      {"--list --all", "--list, --port and --all exclude one another"},
      {"--port ttyUSB0 --port ttyUSB1", "--list, --port and --all exclude one another"}};
  for (const auto& [arguments, refusal] : cases) {
    sRun run = RunProgram(tree, std::string(arguments) + " 2>&1");
    EXPECT_EQ(run.output, "zntv-upgrade: " + std::string(refusal) + "\n" + usage) << arguments;
    EXPECT_EQ(run.status, 2) << arguments;
  }
}

}  // namespace
