// The built program, run as a user runs it: its exact console lines and exit
// status with installed configurations and attached modules in scratch trees.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "data_file.h"
#include "sysfs_tree_posix.h"
#include "temp_tree.h"

namespace {

struct sRun {
  std::string output;
  std::string errors;  // standard error
  int status = -1;     // 124 when the run had to be ended
};

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Runs zntv-upgrade (behind a cross build's emulator) in directory with
// PROGRAMFILES, SYSFS_PATH and DEV_PATH inside tree, then the (already quoted)
// variable settings of environment, which may override them, and the (already
// quoted) arguments. A run that waits for something is ended after 20 s.
sRun RunProgramWith(const cTempTree& tree, const std::string& environment, const std::string& arguments = "",
                    const std::filesystem::path& directory = ".") {
  const std::string root = tree.Root().string();
  const std::filesystem::path errors = tree.Root() / "stderr.txt";
  std::string command = "cd " + Quoted(directory.string()) + " && env PROGRAMFILES=" + Quoted(root + "/programs") +
                        " SYSFS_PATH=" + Quoted(root + "/sys") + " DEV_PATH=" + Quoted(root + "/dev") + " " +
                        environment + " timeout 20 " + ZNTV_PROGRAM_LAUNCHER + Quoted(ZNTV_BINARY_DIR "/zntv-upgrade") +
                        " " + arguments + " </dev/null 2>" + Quoted(errors.string());
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
  run.errors = ReadFile(errors);
  return run;
}

sRun RunProgram(const cTempTree& tree, const std::string& arguments = "") {
  return RunProgramWith(tree, "", arguments);
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

// The lines of JSON output, each event's time written as 0.
std::vector<std::string> LinesWithoutTimes(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream stream(output);
  for (std::string line; std::getline(stream, line);) {
    const size_t at = line.find(R"("t":)");
    if (at != std::string::npos) {
      const size_t end = line.find_first_not_of("0123456789", at + 4);
      line.replace(at + 4, end - (at + 4), "0");
    }
    lines.push_back(line);
  }
  return lines;
}

// The same outcome as events: the line, the failure it names and the hints
// as notes; the hints on standard error and the exit status as without
// --json.
TEST(UpgradeProgram, JsonGivesTheLinesAsEventsWithTheSameHintsAndStatus) {
  cTempTree tree;
  const sRun console = RunProgram(tree);
  const sRun json = RunProgram(tree, "--json");
  std::vector<std::string> lines = LinesWithoutTimes(json.output);
  ASSERT_GE(lines.size(), 3u) << json.output;
  EXPECT_EQ(lines[0], R"({"v":1,"event":"line","t":0,"stage":"lookup","text":"Required software not found"})");
  EXPECT_EQ(lines[1], R"({"v":1,"event":"failure","t":0,"stage":"lookup","step":"Required software not found"})");
  for (size_t i = 2; i < lines.size(); ++i) {
    EXPECT_TRUE(lines[i].starts_with(R"({"v":1,"event":"note","t":0,"stage":"lookup","text":"zntv-upgrade: )") &&
                lines[i].ends_with(R"("})"))
        << lines[i];
  }
  EXPECT_EQ(json.errors, console.errors);
  EXPECT_EQ(json.status, 255);
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

// A directory name is shown as it is, but for its control characters: no one
// names a configuration with a terminal control sequence on purpose.
TEST(UpgradeProgram, ControlCharactersOfAConfigurationNameAreEscaped) {
  cTempTree tree;
  Install(tree, "Al\x1b[2Jpha\xe2\x80\xae", "0A1B2C3D.did", "a,b,mi_02,c\n");
  const sRun run = RunProgram(tree);
  EXPECT_EQ(run.output, "System configured for Al\\x1b[2Jpha\\u{202e}\nUnable to locate device\nDownload failed\n");
  EXPECT_EQ(run.status, 255);
}

const char kUnattendedAlpha[] = "System configured for Alpha\nUnable to locate device\nDownload failed\n";

// A FIFO is opened without waiting for a writer, and then passed over.
TEST(UpgradeProgram, AFifoInPlaceOfADescriptionFileIsSkippedWithoutWaiting) {
  cTempTree tree;
  Install(tree, "Alpha", "0A1B2C3D.did", "a,b,mi_02,c\n");
  const std::filesystem::path fifo = tree.MakeFolder("programs/Zantrova/Images/Beta") / "11112222.did";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const sRun run = RunProgram(tree);
  EXPECT_EQ(run.output, kUnattendedAlpha);
  EXPECT_EQ(run.status, 255);
}

TEST(UpgradeProgram, AFifoInPlaceOfAUsbAttributeIsSkippedWithoutWaiting) {
  cSysfsTree sysfs;
  sysfs.AddUsbSerial("ttyUSB0", {"0a1b", "2c3d", "02"});
  Install(sysfs.Tree(), "Alpha", "0A1B2C3D.did", "a,b,mi_02,c\n");
  const std::filesystem::path vendor = sysfs.Tree().Root() / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/idVendor";
  ASSERT_TRUE(std::filesystem::remove(vendor));
  ASSERT_EQ(mkfifo(vendor.c_str(), 0644), 0);
  sRun run = RunProgram(sysfs.Tree());
  EXPECT_EQ(run.output, kUnattendedAlpha);
  EXPECT_EQ(run.status, 255);
}

// The working directory may be anyone's: what is planted there must not
// choose the configuration, the interface or the port.
TEST(RunTimeEnvironment, AnEmptyProgramFilesMeansOptAndNotTheWorkingDirectory) {
  ASSERT_FALSE(std::filesystem::exists("/opt/Zantrova")) << "the test needs a host without configurations in /opt";
  cTempTree tree;
  // Where an empty folder used to lead: the working directory itself.
  tree.Write("work/Images/Evil/FFFF0001.did", "a,b,mi_02,c\n");
  for (const char* empty : {"PROGRAMFILES=", "PROGRAMFILES=' '"}) {
    sRun run = RunProgramWith(tree, empty, "", tree.Root() / "work");
    EXPECT_EQ(run.output, "Required software not found\n") << empty;
    EXPECT_EQ(run.errors.substr(0, run.errors.find('\n')),
              "zntv-upgrade: no usable description file matches /opt/Zantrova/Images/*/????????.did")
        << empty;
    EXPECT_EQ(run.status, 255) << empty;
  }
}

TEST(RunTimeEnvironment, RelativeFoldersAreRefusedBeforeAnythingIsRead) {
  cTempTree tree;
  Install(tree, "Alpha", "0A1B2C3D.did", "a,b,mi_02,c\n");
  tree.MakeFolder("sys/class/tty");
  tree.MakeFolder("dev");
  tree.Write("work/programs/Zantrova/Images/Evil/FFFF0001.did", "a,b,mi_02,c\n");
  tree.MakeFolder("work/sys/class/tty");
  tree.MakeFolder("work/dev");
  struct sCase {
    const char* name;
    const char* value;
    const char* fallback;
  };
  for (const sCase& relative : {sCase{"PROGRAMFILES", " programs", "/opt"}, sCase{"SYSFS_PATH", "sys", "/sys"},
                                sCase{"DEV_PATH", "./dev", "/dev"}}) {
    sRun run =
        RunProgramWith(tree, std::string(relative.name) + "=" + Quoted(relative.value), "", tree.Root() / "work");
    EXPECT_EQ(run.output, "") << relative.name;
    EXPECT_EQ(run.errors, "zntv-upgrade: " + std::string(relative.name) + " is a relative path (" +
                              std::string(relative.value).substr(relative.value[0] == ' ' ? 1 : 0) +
                              "), which would be read from the current directory; give an absolute path, or "
                              "unset it for " +
                              relative.fallback + "\n");
    EXPECT_EQ(run.status, 255) << relative.name;
  }
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

// The line on ModemManager's inhibition: available where libsystemd loads,
// as it does into this test beside the program.
std::string ModemManagerLine() {
  const bool loads = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL) != nullptr;
  return std::string("ModemManager inhibition: ") + (loads ? "available" : "not available (no libsystemd.so.0)") + "\n";
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
         std::to_string(std::filesystem::file_size(image)) + " bytes, SHA-256 " + Sha256Of(image) + "\n" +
         ModemManagerLine();
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
  for (const char* arguments : {"help", "version 1-4.2", "'' list", "usb0 Com compile"}) {
    sRun run = RunProgram(tree, arguments);
    EXPECT_EQ(run.output, unattended) << arguments;
    EXPECT_EQ(run.status, 255) << arguments;
  }
}

// The refusal and the usage on standard error, and not one line of the run
// (no configuration report, no search).
TEST(InformationArguments, UnknownOptionsAndMisusedOnesAreRefusedBeforeAnythingElse) {
  cTempTree tree;
  InstallAlpha(tree);
  const std::string usage =
      "Usage: zntv-upgrade [--list | --port PORT | --all | --watch [--new-only] [--jobs N] | --udev-rules"
      " | --help | --version]\n";
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
      {"--list --all", "--list, --port, --all, --watch and --udev-rules exclude one another"},
      {"--port ttyUSB0 --port ttyUSB1", "--list, --port, --all, --watch and --udev-rules exclude one another"},
      {"--watch --list", "--list, --port, --all, --watch and --udev-rules exclude one another"},
      {"--port ttyUSB0 --watch", "--list, --port, --all, --watch and --udev-rules exclude one another"},
      {"--all --watch", "--list, --port, --all, --watch and --udev-rules exclude one another"},
      {"--udev-rules --list", "--list, --port, --all, --watch and --udev-rules exclude one another"},
      {"--new-only", "--new-only and --jobs go with --watch only"},
      {"--all --jobs 2", "--new-only and --jobs go with --watch only"},
      {"--watch --jobs", "--jobs needs a number of upgrades from 1 to 9999"},
      {"--watch --jobs 0", "--jobs needs a number of upgrades from 1 to 9999"},
      {"--watch --jobs -1", "--jobs needs a number of upgrades from 1 to 9999"},
      {"ttyUSB1", "did you mean --port ttyUSB1?"},
      {"--list com5 --help", "did you mean --port com5?"}};
  for (const auto& [arguments, refusal] : cases) {
    sRun run = RunProgram(tree, arguments);
    EXPECT_EQ(run.output, "") << arguments;
    EXPECT_EQ(run.errors, "zntv-upgrade: " + std::string(refusal) + "\n" + usage) << arguments;
    EXPECT_EQ(run.status, 2) << arguments;
  }
}

}  // namespace
