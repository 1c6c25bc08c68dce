// Where the program looks on this platform, in words for `zntv-upgrade
// --help`: the installed configurations and the module's serial ports, and
// where the full documentation is.
//
// Threads: constant text; any thread.
#pragma once

// The help's closing lines, each ending in "\n".
const wchar_t* RunTimeConventionsHelp();
