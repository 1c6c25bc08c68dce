// Writes the udev rules of --udev-rules. Every key of a rule names one parent
// device at most (udev matches a rule's parent keys against one device), so
// the interface number of a tty's USB interface is copied into a private
// property first, and the rules per module match the USB device's vendor
// and product and that property.
#include "upgrade/udev_rules.h"

#include <cwctype>
#include <optional>

#include "text/printable_text.h"

namespace {

struct sUsbIdentity {
  std::wstring vendor, product, interface;
};

bool IsHex(const std::wstring& text, size_t digits) {
  if (text.size() != digits) return false;
  for (wchar_t c : text) {
    if (!std::iswxdigit(static_cast<wint_t>(c))) return false;
  }
  return true;
}

// "vid_0a1b&pid_2c3d&mi_02" into its numbers; nothing for another shape.
std::optional<sUsbIdentity> ParseIdentity(const std::wstring& key) {
  constexpr size_t kVendorAt = 4, kProductAt = 13, kInterfaceAt = 21;
  if (key.size() != kInterfaceAt + 2 || key.compare(0, kVendorAt, L"vid_") != 0 ||
      key.compare(kVendorAt + 4, 5, L"&pid_") != 0 || key.compare(kProductAt + 4, 4, L"&mi_") != 0) {
    return std::nullopt;
  }
  sUsbIdentity identity{key.substr(kVendorAt, 4), key.substr(kProductAt, 4), key.substr(kInterfaceAt, 2)};
  if (!IsHex(identity.vendor, 4) || !IsHex(identity.product, 4) || !IsHex(identity.interface, 2)) return std::nullopt;
  return identity;
}

constexpr const wchar_t* kHeader =
    L"# Written by zntv-upgrade --udev-rules, for /etc/udev/rules.d/70-zntv-upgrade.rules.\n"
    L"# The configured modules' serial ports belong to the group dialout and to\n"
    L"# the user at the seat; ModemManager leaves alone the port the upgrade\n"
    L"# talks to and keeps the modem's others. Reload with: udevadm control --reload\n"
    L"SUBSYSTEM==\"tty\", SUBSYSTEMS==\"usb\", ATTRS{bInterfaceNumber}==\"?*\", "
    L"ENV{.ZNTV_INTERFACE}=\"$attr{bInterfaceNumber}\"\n";

std::wstring RulesOf(const std::wstring& key, const std::wstring& name, const sUsbIdentity& identity) {
  const std::wstring device = L"SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" + identity.vendor +
                              L"\", ATTRS{idProduct}==\"" + identity.product + L"\", ";
  return L"\n# " + text::PrintableText(name) + L" (" + key + L")\n" + device +
         L"TAG+=\"uaccess\", GROUP=\"dialout\"\n" + device + L"ENV{.ZNTV_INTERFACE}==\"" + identity.interface +
         L"\", ENV{ID_MM_PORT_IGNORE}=\"1\"\n";
}

}  // namespace

sUdevRules MakeUdevRules(const host::ConfigurationMap& configurations) {
  sUdevRules rules{kHeader, {}};
  for (const auto& [key, configuration] : configurations) {
    const std::optional<sUsbIdentity> identity = ParseIdentity(key);
    std::wstring name;
    if (!identity || !host::GetConfigurationName(configuration, name)) {
      rules.skipped.push_back(key);
      continue;
    }
    rules.text += RulesOf(key, name, *identity);
  }
  return rules;
}
