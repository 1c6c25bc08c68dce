// The fixed upgrade run: find the module's port, open the two embedded images,
// then enter download mode, load the flash programmer and stream the image.
//
// Threads: main thread only; each phase blocks it until the phase is done.
#pragma once

// True when the image was streamed and the module reset. Prints one line for
// a failure it detects itself ("Unable to locate device", "Unable to open
// image file", "Unable to open flash programmer file"); the phases print
// their own.
bool RunUpgrade();
