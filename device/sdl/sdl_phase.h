// The SDL phase: stream the device image through the programmer in a window
// of unacknowledged writes, then reset the module. Main thread.
#pragma once
#include <string>

class cMemoryMappedFile;

// The outcome of the whole upgrade: true when every write was acknowledged and
// the reset was answered.
bool StreamImage(const cMemoryMappedFile& image, const std::wstring& portName);
