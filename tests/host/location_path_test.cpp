// The hub port that a Windows location path names, which the Windows lookup
// takes for a module's place.
#include "host/location_path.h"

#include <gtest/gtest.h>

namespace {

TEST(UsbPortOfLocationPath, DropsTheInterfaceOfACompositeDevice) {
  EXPECT_EQ(host::UsbPortOfLocationPath(L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USBMI(2)"),
            L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)");
}

TEST(UsbPortOfLocationPath, KeepsTheHubPortOfASingleInterfaceDevice) {
  EXPECT_EQ(host::UsbPortOfLocationPath(L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)"),
            L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)");
}

TEST(UsbPortOfLocationPath, BothModesOfOneModuleShareTheirPlace) {
  EXPECT_EQ(host::UsbPortOfLocationPath(L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)#USBMI(2)"),
            host::UsbPortOfLocationPath(L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)#USB(2)"));
}

TEST(UsbPortOfLocationPath, ReadsTheInterfacePartInAnyCase) {
  EXPECT_EQ(host::UsbPortOfLocationPath(L"PCIROOT(0)#USBROOT(0)#USB(3)#usbmi(0)"), L"PCIROOT(0)#USBROOT(0)#USB(3)");
}

TEST(UsbPortOfLocationPath, KeepsAPathWithoutParts) {
  EXPECT_EQ(host::UsbPortOfLocationPath(L"USBMI(2)"), L"USBMI(2)");
  EXPECT_EQ(host::UsbPortOfLocationPath(L""), L"");
}

}  // namespace
