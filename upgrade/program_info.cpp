// Answers --help and --version, and refuses a command line. The version text names the embedded files by
// what a support request needs to tell two executables apart: the
// programmer's addresses and length as the upgrade would load it, the device
// image's length, and each file's SHA-256 as the build took it.
#include "upgrade/program_info.h"

#include <string>
#include <string_view>

#include "host/modem_manager.h"
#include "image/hex_file.h"
#include "image/memory_mapped_file.h"
#include "platform/console.h"
#include "platform/module.h"
#include "resources/embedded_identity.h"
#include "text/utf8.h"
#include "upgrade/run_time_conventions.h"

#ifndef ZNTV_VERSION
#error "the build defines ZNTV_VERSION"
#endif

namespace {

// The ASCII texts the build supplies, widened for the console's %ls (the one
// string conversion that means the same on both platforms).
std::wstring Wide(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

constexpr const wchar_t* kUsage =
    L"Usage: zntv-upgrade [--list | --port PORT | --all | --watch [--new-only] [--jobs N] | --udev-rules"
    L" | --help | --version]\n";

}  // namespace

void PrintHelp() {
  platform::ConsolePrint(
      L"%ls"
      L"Upgrades the firmware of an attached USB modem module: finds the installed\n"
      L"module configurations and a configured module, loads the embedded flash\n"
      L"programmer into it and writes the embedded device image into its flash.\n"
      L"Runs unattended and reads no input. Ends with \"Upgraded in N ms\" (exit\n"
      L"status 0) or a failure line (exit status 255). An unknown option, or a port\n"
      L"named without --port, is refused (exit status 2) before anything is touched;\n"
      L"other arguments are ignored. Interrupted once the module has left its\n"
      L"firmware, it finishes the upgrade; a second interrupt abandons it (255).\n"
      L"\n"
      L"  --list       list the configured modules present (port, interface, place)\n"
      L"  --port PORT  upgrade the module at PORT, as --list shows it, and no other\n"
      L"  --all        upgrade every module --list shows, all at once; each line is\n"
      L"               prefixed with the module's port; ends with \"Upgraded N of M\n"
      L"               modules\" (exit status 0 only when all M were upgraded)\n"
      L"  --udev-rules print udev rules for the installed configurations' modules\n"
      L"               (see the manual's section Modem managers)\n"
      L"  --watch      station mode: run until interrupted and upgrade each module\n"
      L"               once as it is plugged in (and those present at the start);\n"
      L"               lines are prefixed with the module's port; an interrupt\n"
      L"               lets the upgrades in progress end and prints \"Upgraded N\n"
      L"               of M modules\" (exit status 0 only when none failed)\n"
      L"  --new-only   with --watch: leave the modules present at the start alone\n"
      L"  --jobs N     with --watch: at most N upgrades at once, the others wait in\n"
      L"               the order they were plugged in\n"
      L"  --json       write the events of an upgrade, --list, --all or --watch as\n"
      L"               JSON Lines on standard output (described by events.schema.json)\n"
      L"  --help       show this help and exit\n"
      L"  --version    show the version and the embedded files' identity and exit\n"
      L"\n"
      L"A bench of modules:\n"
      L"  zntv-upgrade --list\n"
      L"  zntv-upgrade --all\n"
      L"\n"
      L"A station that upgrades modules as they are plugged in, two at a time:\n"
      L"  zntv-upgrade --watch --new-only --jobs 2\n"
      L"\n"
      L"%ls",
      kUsage, RunTimeConventionsHelp());
}

namespace {

void PrintProgrammer(platform::ModuleHandle module) {
  platform::ConsolePrint(L"Flash programmer (FILES %u): %u bytes of Intel HEX, SHA-256 %ls\n",
                         unsigned{kProgrammerResourceId}, kEmbeddedProgrammerIdentity.size,
                         Wide(kEmbeddedProgrammerIdentity.sha256).c_str());
  const cHexFile programmer(module);
  if (programmer.Error != 0) {
    platform::ConsolePrint(L"  not usable (error %u)\n", programmer.Error);
    return;
  }
  platform::ConsolePrint(L"  load address 0x%08X, entry address 0x%08X, length %u bytes\n", programmer.LoadAddress,
                         programmer.EntryAddress, programmer.ImageLength);
}

void PrintDeviceImage() {
  platform::ConsolePrint(L"Device image (FILES %u): %u bytes, SHA-256 %ls\n", unsigned{kDeviceImageResourceId},
                         kEmbeddedDeviceImageIdentity.size, Wide(kEmbeddedDeviceImageIdentity.sha256).c_str());
}

}  // namespace

void PrintVersion() {
  platform::ConsolePrint(L"zntv-upgrade %ls\n", Wide(ZNTV_VERSION).c_str());
  PrintProgrammer(platform::GetProgramModule());
  PrintDeviceImage();
  const std::wstring modemManager = host::ModemManagerInhibitionAvailability();
  if (!modemManager.empty()) platform::ConsolePrint(L"ModemManager inhibition: %ls\n", modemManager.c_str());
}

void PrintRefusal(const std::string& why) {
  platform::ConsoleExplain(L"zntv-upgrade: %ls\n%ls", text::Utf8ToWide(why).c_str(), kUsage);
}
