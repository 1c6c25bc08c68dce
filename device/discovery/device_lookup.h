// Finds the serial port of an attached, configured module, and waits for it to
// drop off the bus and come back between protocol phases. Main thread only;
// reads the process-wide configuration map, which is complete before the
// first call.
#pragma once
#include <string>

// The port name of the first present COM-port interface whose identity is a
// configuration key and whose port name is not empty; empty when none.
std::wstring FindDevicePort();

// Up to 50 checks 200 ms apart for the port to vanish, then up to 50 for it to
// return. True when a configured port is present at the end.
bool WaitForDeviceReenumeration();
