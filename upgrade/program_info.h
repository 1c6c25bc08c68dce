// The program's answers about itself: `--help` (usage, options and where it
// looks), `--version` (version and the identity of the embedded files), and
// the refusal of a command line it does not understand. None of them reads a
// configuration or touches a device.
//
// Threads: main thread, before anything else runs.
#pragma once
#include <string>

// On standard output.
void PrintHelp();
void PrintVersion();

// On standard error: "zntv-upgrade: <why>" and the usage line.
void PrintRefusal(const std::string& why);
