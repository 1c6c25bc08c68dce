// Where the program looks on this platform, in words for `zntv-upgrade
// --help`: the installed configurations and the module's serial ports.
//
// Threads: constant text; any thread.
#pragma once

// Lines of the form "  NAME  what it is", each ending in "\n".
const wchar_t* RunTimeConventionsHelp();
