// What the program is asked to do: the unattended upgrade of the first
// configured module (no arguments), of the module at a named port, of every
// module, of every module plugged in until stopped (--watch), a list of the
// modules, or one of the two informational answers.
// Arguments that do not begin with '-' are ignored, except one that names a
// port (tty..., COM<n>, or a path in the folder of the device nodes): a
// forgotten --port must not upgrade whichever module comes first. Such an
// argument, like an unknown option, refuses the whole command line, so that
// a mistyped one never starts an upgrade. --udev-rules prints the udev rules
// for the installed configurations instead. --json asks an upgrade, a list or
// --all for JSON Lines on standard output in place of the console lines.
//
// Threads: main thread, before anything else runs.
#pragma once
#include <string>

enum class eCommand { Upgrade, List, All, UdevRules, Watch, Help, Version, Refused };

struct sCommandLine {
  eCommand command = eCommand::Upgrade;
  std::string port;      // Upgrade: the --port argument as given; empty: the first module
  std::string refusal;   // Refused: why, for a line on standard error
  bool json = false;     // --json: the events as JSON Lines (json_view.h)
  bool newOnly = false;  // Watch: leave the modules present at the start alone
  unsigned jobs = 0;     // Watch: the most upgrades at once; 0: no cap
};

// --help and --version win over everything but a refusal, the first of them
// deciding; --list, --port PORT, --all and --watch exclude one another;
// --new-only and --jobs N (N from 1) go with --watch only.
sCommandLine ParseCommandLine(int argc, const char* const* argv);
