// The DIAG phase: identify the module, switch its mode, order it into its
// boot downloader and wait for it to come back. Main thread.
#pragma once
#include <string>

// True when the download mode request was answered. Prints its own lines.
bool EnterDownloadMode(const std::wstring& portName);
