// The program's two informational arguments: `--help` (usage and where it
// looks) and `--version` (version and the identity of the embedded files).
// Neither reads a configuration nor touches a device; every other argument is
// ignored, so that a run without these two is the unattended upgrade.
//
// Threads: main thread, before anything else runs.
#pragma once

// When one of the arguments after the program name is "--help" or
// "--version" (the first of them decides), prints its answer to standard
// output and returns true: the process then exits with 0. Otherwise prints
// nothing and returns false.
bool AnswerInformationRequest(int argc, const char* const* argv);
