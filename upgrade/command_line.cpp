// Reads the command line into one command.
#include "upgrade/command_line.h"

#include <cctype>
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
    if (line.command != mode || line.port != port) line.refusal = "--list, --port and --all exclude one another";
    return;
  }
  line.command = mode;
  line.port = port;
}

}  // namespace

sCommandLine ParseCommandLine(int argc, const char* const* argv) {
  sCommandLine line;
  eCommand information = eCommand::Upgrade;
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
  if (!line.refusal.empty()) {
    line.command = eCommand::Refused;
  } else if (information != eCommand::Upgrade) {
    line.command = information;
  }
  return line;
}
