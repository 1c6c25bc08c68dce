// Reads the command line into one command.
#include "upgrade/command_line.h"

#include <cctype>
#include <string>
#include <string_view>

#include "host/com_port_interfaces.h"

namespace {

bool IsOption(std::string_view argument) { return !argument.empty() && argument[0] == '-'; }

// tty..., COM<n> (in any case), or a path to a device node.
bool LooksLikePort(const char* argument) {
  const std::string_view text = argument;
  const auto upper = [&text](size_t i) { return std::toupper(static_cast<unsigned char>(text[i])); };
  const bool comPort = text.size() > 3 && upper(0) == 'C' && upper(1) == 'O' && upper(2) == 'M' &&
                       std::isdigit(static_cast<unsigned char>(text[3])) != 0;
  return text.substr(0, 3) == "tty" || comPort || host::IsDevicePath(argument);
}

// Sets the upgrade mode unless another one was chosen already.
void ChooseMode(sCommandLine& line, eCommand mode, const std::string& port) {
  if (line.command != eCommand::Upgrade || !line.port.empty()) {
    if (line.command != mode || line.port != port)
      line.refusal = "--list, --port, --all, --watch and --udev-rules exclude one another";
    return;
  }
  line.command = mode;
  line.port = port;
}

// A count of upgrades from 1, in decimal digits only.
bool ReadJobs(const char* argument, unsigned& jobs) {
  const std::string_view text = argument;
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
  jobs = static_cast<unsigned>(std::stoul(std::string(text)));
  return jobs > 0;
}

// --new-only and --jobs tell the station mode how to work.
void CheckStationOptions(sCommandLine& line, bool stationOption) {
  if (line.refusal.empty() && stationOption && line.command != eCommand::Watch) {
    line.refusal = "--new-only and --jobs go with --watch only";
  }
}

}  // namespace

sCommandLine ParseCommandLine(int argc, const char* const* argv) {
  sCommandLine line;
  eCommand information = eCommand::Upgrade;
  bool stationOption = false;
  for (int i = 1; i < argc && line.refusal.empty(); ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "--version") {
      if (information == eCommand::Upgrade) information = argument == "--help" ? eCommand::Help : eCommand::Version;
    } else if (argument == "--list") {
      ChooseMode(line, eCommand::List, {});
    } else if (argument == "--all") {
      ChooseMode(line, eCommand::All, {});
    } else if (argument == "--udev-rules") {
      ChooseMode(line, eCommand::UdevRules, {});
    } else if (argument == "--watch") {
      ChooseMode(line, eCommand::Watch, {});
    } else if (argument == "--new-only") {
      line.newOnly = stationOption = true;
    } else if (argument == "--jobs") {
      stationOption = true;
      if (i + 1 >= argc || !ReadJobs(argv[i + 1], line.jobs)) {
        line.refusal = "--jobs needs a number of upgrades from 1 to 9999";
      } else {
        ++i;
      }
    } else if (argument == "--json") {
      line.json = true;
    } else if (argument == "--port") {
      if (i + 1 >= argc || std::string_view(argv[i + 1]).empty() || IsOption(argv[i + 1])) {
        line.refusal = "--port needs a port name";
      } else {
        ChooseMode(line, eCommand::Upgrade, argv[++i]);
      }
    } else if (IsOption(argument)) {
      line.refusal = "unknown option " + std::string(argument);
    } else if (LooksLikePort(argv[i])) {
      line.refusal = "did you mean --port " + std::string(argument) + "?";
    }
  }
  CheckStationOptions(line, stationOption);
  if (!line.refusal.empty()) {
    line.command = eCommand::Refused;
  } else if (information != eCommand::Upgrade) {
    line.command = information;
  }
  return line;
}
