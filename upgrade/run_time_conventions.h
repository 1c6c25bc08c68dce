// Where the program looks on this platform, in words for `zntv-upgrade
// --help`: the installed configurations and the module's serial ports, and
// where the full documentation is.
//
// Threads: constant text; any thread. The environment check: main thread.
#pragma once

// The help's closing lines, each ending in "\n".
const wchar_t* RunTimeConventionsHelp();

// False, after saying why on standard error, when the environment moves a
// folder the program reads to somewhere it must not read from (on Linux, a
// relative PROGRAMFILES, SYSFS_PATH or DEV_PATH, which would be taken from
// whatever the current directory is). Windows takes its folders from the
// system and accepts any environment.
bool AcceptRunTimeEnvironment();
