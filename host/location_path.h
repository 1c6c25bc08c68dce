// Where a module is plugged in, as Windows writes a device's location path
// (PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USBMI(2)): the hub port is the
// path without the interface's own part, so that a module whose modes show
// as a composite device and as a single-interface device keeps one place.
//
// Threads: any; pure text.
#pragma once
#include <string>

namespace host {

// The path up to its hub port: every trailing "#USBMI(n)" part removed, in
// any case; the path unchanged where it has none.
std::wstring UsbPortOfLocationPath(std::wstring path);

}  // namespace host
