// The DL phase: load the flash programmer into the module's RAM through the
// boot downloader and start it. Main thread.
#pragma once
#include <string>

class cHexFile;

// True when every write was answered and the go request was sent.
bool LoadProgrammer(const cHexFile& programmer, const std::wstring& portName);
