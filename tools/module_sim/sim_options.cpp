// The simulator's command line: one table of options, each with its help text
// and the small function that stores its value.
#include "tools/module_sim/sim_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <limits>
#include <set>
#include <sstream>
#include <string_view>

namespace sim {

sModulePlace PlaceOfModule(const sDeviceOptions& options, unsigned index) {
  const auto given = [index](const std::vector<std::string>& names) {
    return index < names.size() ? names[index] : std::string();
  };
  sModulePlace place;
  place.index = index;
  place.entries[0] = given(options.entries).empty() ? "ttyUSB" + std::to_string(index) : given(options.entries);
  place.entries[1] = given(options.dlEntries).empty() ? place.entries[0] : given(options.dlEntries);
  place.entries[2] = given(options.sdlEntries).empty() ? place.entries[1] : given(options.sdlEntries);
  place.locations[0] = given(options.locations).empty() ? "1-" + std::to_string(index + 2) : given(options.locations);
  place.locations[1] = given(options.dlLocations).empty() ? place.locations[0] : given(options.dlLocations);
  place.locations[2] = given(options.sdlLocations).empty() ? place.locations[1] : given(options.sdlLocations);
  place.location = place.locations[0];
  place.peer = given(options.peers);
  place.intruder = given(options.intruders);
  return place;
}

bool StartsUnplugged(const sDeviceOptions& options, const sModulePlace& place) {
  const std::vector<std::string>& off = options.unpluggedLocations;
  return (off.size() == 1 && off[0] == "all") || std::find(off.begin(), off.end(), place.location) != off.end();
}

bool ServesSeveralUpgrades(const sSimOptions& options) {
  return RunsUntilTold(options) || options.station.returnAfterReset;
}

bool RunsUntilTold(const sSimOptions& options) {
  return !options.station.control.empty() || !options.device.unpluggedLocations.empty();
}

const char* StageName(eStage stage) {
  switch (stage) {
    case eStage::Diag:
      return "diag";
    case eStage::Dl:
      return "dl";
    case eStage::Sdl:
      return "sdl";
  }
  return "?";
}

namespace {

// Each parser returns an error text, empty on success.
using Setter = std::function<std::string(sSimOptions&, const std::string&)>;

struct sOptionEntry {
  const char* name;
  const char* argument;  // nullptr: a flag without argument
  const char* help;
  Setter set;
};

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& value) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  value = parsed;
  return true;
}

// A setter for an unsigned field of any width, refusing values that do not fit.
template <class T>
Setter Number(T sSimOptions::*group, auto field) {
  return [group, field](sSimOptions& o, const std::string& text) -> std::string {
    using V = std::remove_reference_t<decltype((o.*group).*field)>;
    uint64_t value = 0;
    if (!ParseUnsigned(text, std::numeric_limits<V>::max(), value)) return "not a number in range: " + text;
    (o.*group).*field = static_cast<V>(value);
    return {};
  };
}

template <class T>
Setter Text(T sSimOptions::*group, auto field) {
  return [group, field](sSimOptions& o, const std::string& text) -> std::string {
    (o.*group).*field = text;
    return {};
  };
}

template <class T>
Setter Flag(T sSimOptions::*group, auto field) {
  return [group, field](sSimOptions& o, const std::string&) -> std::string {
    (o.*group).*field = true;
    return {};
  };
}

std::optional<eStage> ParseStage(const std::string& text) {
  if (text == "diag") return eStage::Diag;
  if (text == "dl") return eStage::Dl;
  if (text == "sdl") return eStage::Sdl;
  return std::nullopt;
}

// STAGE[:CODE[:N]], CODE a byte value or "any".
std::optional<sAnswerRule> ParseRule(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  for (std::string part; std::getline(stream, part, ':');) parts.push_back(part);
  if (parts.empty() || parts.size() > 3) return std::nullopt;
  sAnswerRule rule;
  const auto stage = ParseStage(parts[0]);
  if (!stage) return std::nullopt;
  rule.stage = *stage;
  uint64_t value = 0;
  if (parts.size() > 1 && parts[1] != "any") {
    if (!ParseUnsigned(parts[1], 0xFF, value)) return std::nullopt;
    rule.code = static_cast<uint8_t>(value);
  }
  if (parts.size() > 2) {
    if (!ParseUnsigned(parts[2], std::numeric_limits<unsigned>::max(), value) || value == 0) return std::nullopt;
    rule.occurrence = static_cast<unsigned>(value);
  }
  return rule;
}

Setter Rule(std::vector<sAnswerRule> sMisbehaviourOptions::*field) {
  return [field](sSimOptions& o, const std::string& text) -> std::string {
    const auto rule = ParseRule(text);
    if (!rule) return "expected STAGE[:CODE[:N]], got " + text;
    (o.misbehaviour.*field).push_back(*rule);
    return {};
  };
}

std::optional<Bytes> ParseHex(const std::string& text) {
  if (text.empty() || text.size() % 2 != 0) return std::nullopt;
  Bytes bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    uint64_t value = 0;
    if (!ParseUnsigned("0x" + text.substr(i, 2), 0xFF, value)) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

std::string SetStartStage(sSimOptions& o, const std::string& text) {
  const auto stage = ParseStage(text);
  if (!stage) return "expected diag, dl or sdl, got " + text;
  o.startStage = *stage;
  return {};
}

// A stage after which the module leaves the bus: diag or dl.
Setter LeavingStage(std::optional<eStage> sMisbehaviourOptions::*field) {
  return [field](sSimOptions& o, const std::string& text) -> std::string {
    const auto stage = ParseStage(text);
    if (!stage || *stage == eStage::Sdl) return "expected diag or dl, got " + text;
    o.misbehaviour.*field = stage;
    return {};
  };
}

std::string SetResetAnswer(sSimOptions& o, const std::string& text) {
  if (text == "0c" || text == "0x0c" || text == "0x0C") {
    o.sdl.resetAnswer = eResetAnswer::Done;
  } else if (text == "0d" || text == "0x0d" || text == "0x0D") {
    o.sdl.resetAnswer = eResetAnswer::Error;
  } else if (text == "none") {
    o.sdl.resetAnswer = eResetAnswer::None;
  } else {
    return "expected 0c, 0d or none, got " + text;
  }
  return {};
}

std::string AddUnsolicited(sSimOptions& o, const std::string& text) {
  const auto bytes = ParseHex(text);
  if (!bytes) return "expected the packet as hex digits, got " + text;
  o.misbehaviour.diagUnsolicited.push_back(*bytes);
  return {};
}

// HEX: a packet given as hex digits, sent before answers that match a rule.
std::string AddUnsolicitedPacket(sSimOptions& o, const std::string& text) {
  const auto bytes = ParseHex(text);
  if (!bytes) return "expected the packet as hex digits, got " + text;
  o.misbehaviour.unsolicitedPackets.push_back(*bytes);
  return {};
}

// A name the simulator joins to its root: one path component of plain
// characters, so that nothing outside the root is ever made or removed.
bool IsPlainName(const std::string& text) {
  if (text.empty() || text == "." || text == "..") return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
  });
}

std::string SetPlainName(std::string& field, const std::string& text) {
  if (!IsPlainName(text)) return "expected one name of A-Z a-z 0-9 . _ -, got " + text;
  field = text;
  return {};
}

// NAME[,NAME...]: one plain name per module.
Setter Names(std::vector<std::string> sDeviceOptions::*field) {
  return [field](sSimOptions& o, const std::string& text) -> std::string {
    std::vector<std::string> names;
    std::stringstream stream(text);
    for (std::string name; std::getline(stream, name, ',');) {
      if (!IsPlainName(name)) return "expected names of A-Z a-z 0-9 . _ - separated by commas, got " + text;
      names.push_back(name);
    }
    if (names.empty() || text.back() == ',') return "expected names separated by commas, got " + text;
    o.device.*field = std::move(names);
    return {};
  };
}

std::string SetHexId(uint16_t& field, const std::string& text) {
  uint64_t value = 0;
  if (text.size() != 4 || !ParseUnsigned("0x" + text, 0xFFFF, value)) return "expected four hex digits, got " + text;
  field = static_cast<uint16_t>(value);
  return {};
}

const std::vector<sOptionEntry>& OptionTable() {
  using S = sSimOptions;
  static const std::vector<sOptionEntry> table = {
      // Where the module appears.
      {"--root", "DIR",
       "new directory, or an empty one of yours with mode 0700, for the sysfs tree, device directory and program "
       "files (default: new temporary)",
       Text(&S::device, &sDeviceOptions::root)},
      {"--keep-root", nullptr, "leave the root directory in place at exit",
       Flag(&S::device, &sDeviceOptions::keepRoot)},
      {"--config-name", "NAME", "configuration directory of the description file (SimModule)",
       [](S& o, const std::string& t) { return SetPlainName(o.device.configName, t); }},
      {"--vid", "HHHH", "USB vendor id (0A1B)",
       [](S& o, const std::string& t) { return SetHexId(o.device.vendorId, t); }},
      {"--pid", "HHHH", "USB product id (2C3D)",
       [](S& o, const std::string& t) { return SetHexId(o.device.productId, t); }},
      {"--interface", "N", "USB interface number of the serial port (2)",
       Number(&S::device, &sDeviceOptions::interfaceNumber)},
      {"--modules", "N", "modules in the one sysfs tree and device directory, each served at once (1)",
       Number(&S::device, &sDeviceOptions::modules)},
      {"--entry", "NAME[,NAME...]", "tty entry and port name, one per module (ttyUSB0, ttyUSB1, ...)",
       Names(&sDeviceOptions::entries)},
      {"--dl-entry", "NAME[,NAME...]", "tty entry of each module when it comes back as the boot downloader (--entry)",
       Names(&sDeviceOptions::dlEntries)},
      {"--sdl-entry", "NAME[,NAME...]", "tty entry of each module when it comes back as the programmer (--dl-entry)",
       Names(&sDeviceOptions::sdlEntries)},
      {"--second-tty", "NAME", "a second tty entry of the first module's serial interface in its normal firmware",
       [](S& o, const std::string& t) { return SetPlainName(o.device.secondEntry, t); }},
      {"--location", "NAME[,NAME...]", "sysfs name of each module's USB device (1-2, 1-3, ...)",
       Names(&sDeviceOptions::locations)},
      {"--dl-location", "NAME[,NAME...]", "sysfs name of each module's USB device as the boot downloader (--location)",
       Names(&sDeviceOptions::dlLocations)},
      {"--sdl-location", "NAME[,NAME...]", "sysfs name of each module's USB device as the programmer (--dl-location)",
       Names(&sDeviceOptions::sdlLocations)},
      {"--peer", "NAME[,NAME...]",
       "location whose hub port is the USB 3 twin of the port at each module's --location (none)",
       Names(&sDeviceOptions::peers)},
      {"--intruder-at", "NAME[,NAME...]",
       "once the module has left the bus for good, another module's downloader appears at this location under the "
       "name it freed, and records every byte written to it (none)",
       Names(&sDeviceOptions::intruders)},
      {"--faults-at", "NAME[,NAME...]", "the misbehaviour options apply to the modules at these locations only (all)",
       Names(&sDeviceOptions::faultyLocations)},
      {"--unplugged", "NAME[,NAME...]|all",
       "the modules at these locations start off the bus, until a plug command (none)",
       Names(&sDeviceOptions::unpluggedLocations)},
      {"--no-description", nullptr, "do not install a description file",
       [](S& o, const std::string&) {
         o.device.writeDescription = false;
         return std::string();
       }},
      {"--start-stage", "STAGE", "stage the module is in at start: diag, dl or sdl (diag)", SetStartStage},
      // Timing.
      {"--link-speed", "BYTES_PER_S", "throttle each direction of the line (0: unlimited)",
       Number(&S::timing, &sTimingOptions::linkSpeed)},
      {"--drop-delay", "MS", "from the last answer of a stage to leaving the bus (100)",
       Number(&S::timing, &sTimingOptions::dropDelayMs)},
      {"--offline-delay", "MS", "time off the bus between stages (400)",
       Number(&S::timing, &sTimingOptions::offlineDelayMs)},
      {"--deny-open", "MS",
       "after coming back, the port's node refuses opens this long, as before udev sets its group (0)",
       Number(&S::timing, &sTimingOptions::denyOpenMs)},
      {"--idle-timeout", "MS", "end the run after this long without a request (60000)",
       Number(&S::timing, &sTimingOptions::idleTimeoutMs)},
      {"--host-gone-timeout", "MS",
       "end the run when the host lets go of the line and does not open it again within this (5000; 0: never)",
       Number(&S::timing, &sTimingOptions::hostGoneMs)},
      // Boot downloader.
      {"--dl-version", "N", "downloader current version (2)", Number(&S::dl, &sDlOptions::version)},
      {"--dl-min-version", "N", "downloader minimum version (1)", Number(&S::dl, &sDlOptions::minVersion)},
      {"--dl-max-write", "BYTES", "downloader maximum write size (1024)", Number(&S::dl, &sDlOptions::maxWrite)},
      // Programmer.
      {"--sdl-max-version", "N", "programmer highest protocol version (3)", Number(&S::sdl, &sSdlOptions::maxVersion)},
      {"--sdl-min-version", "N", "programmer lowest protocol version (2; below 2 makes the hello invalid)",
       Number(&S::sdl, &sSdlOptions::minVersion)},
      {"--sdl-max-write", "BYTES", "programmer maximum write size (4096)", Number(&S::sdl, &sSdlOptions::maxWrite)},
      {"--sdl-base", "ADDRESS", "flash address of the image's first byte (0x00200000)",
       Number(&S::sdl, &sSdlOptions::baseAddress)},
      {"--sdl-window", "N", "writes that may be outstanding (16)", Number(&S::sdl, &sSdlOptions::window)},
      {"--sdl-feature-mask", "N", "feature mask (0x01)", Number(&S::sdl, &sSdlOptions::featureMask)},
      {"--sdl-id", "TEXT", "identification field of the hello response (ZNTV-SIM)",
       Text(&S::sdl, &sSdlOptions::identification)},
      {"--sdl-table-entries", "N", "entries of the hello response's table (2; 0 makes the hello invalid)",
       Number(&S::sdl, &sSdlOptions::tableEntries)},
      {"--sdl-hello-padding", "N", "extra bytes at the end of the hello response (0)",
       Number(&S::sdl, &sSdlOptions::helloPadding)},
      {"--sdl-hello-bad-magic", nullptr, "hello response with a damaged target magic",
       Flag(&S::sdl, &sSdlOptions::helloBadMagic)},
      {"--sdl-log-every", "N", "a log packet before every N-th write answer (0: none)",
       Number(&S::sdl, &sSdlOptions::logEvery)},
      {"--sdl-error-at", "N", "answer the N-th write with an error packet instead (0: never)",
       Number(&S::sdl, &sSdlOptions::errorAtWrite)},
      {"--sdl-error-code", "N", "code carried by error packets (7)", Number(&S::sdl, &sSdlOptions::errorCode)},
      {"--sdl-error-bare", nullptr, "error packets of 5 bytes, without their text",
       Flag(&S::sdl, &sSdlOptions::errorBare)},
      {"--reset-answer", "0c|0d|none", "answer to the reset request (0c)", SetResetAnswer},
      // Misbehaviour.
      {"--silent", "STAGE[:CODE[:N]]", "do not answer matching requests (repeatable)",
       Rule(&sMisbehaviourOptions::silent)},
      {"--bad-fcs", "STAGE[:CODE[:N]]", "send matching answers with a wrong FCS (repeatable)",
       Rule(&sMisbehaviourOptions::badFcs)},
      {"--damaged-before", "STAGE[:CODE[:N]]", "send a copy with a wrong FCS before matching answers (repeatable)",
       Rule(&sMisbehaviourOptions::damagedBefore)},
      {"--diag-unsolicited", "HEX", "DIAG packet sent before every DIAG answer (repeatable)", AddUnsolicited},
      {"--split-frames", "BYTES", "write every answer in pieces of this many bytes (0: whole)",
       Number(&S::misbehaviour, &sMisbehaviourOptions::splitBytes)},
      {"--split-gap", "MS", "pause between the pieces of a split answer (5)",
       Number(&S::misbehaviour, &sMisbehaviourOptions::splitGapMs)},
      {"--never-return-after", "STAGE", "leave the bus for good after diag or dl",
       LeavingStage(&sMisbehaviourOptions::neverReturnAfter)},
      {"--stay-after", "STAGE", "after diag or dl, go on to the next stage without leaving the bus",
       LeavingStage(&sMisbehaviourOptions::stayAfter)},
      {"--garbage-before", "STAGE[:CODE[:N]]", "line noise without a flag before matching answers (repeatable)",
       Rule(&sMisbehaviourOptions::garbageBefore)},
      {"--garbage-bytes", "N", "bytes of each burst of noise (64)",
       Number(&S::misbehaviour, &sMisbehaviourOptions::garbageBytes)},
      {"--flag-storm", "STAGE[:CODE[:N]]", "a run of bare flags before matching answers (repeatable)",
       Rule(&sMisbehaviourOptions::flagStorm)},
      {"--storm-flags", "N", "flags in each storm (100000)",
       Number(&S::misbehaviour, &sMisbehaviourOptions::stormFlags)},
      {"--overlong-before", "STAGE[:CODE[:N]]",
       "more bytes without a flag than the host holds for one frame before matching answers (repeatable)",
       Rule(&sMisbehaviourOptions::overlongBefore)},
      {"--unsolicited-before", "STAGE[:CODE[:N]]", "the unsolicited packets before matching answers (repeatable)",
       Rule(&sMisbehaviourOptions::unsolicitedBefore)},
      {"--unsolicited-packet", "HEX", "packet sent by --unsolicited-before (repeatable)", AddUnsolicitedPacket},
      {"--unsolicited-pad", "BYTES", "pad each unsolicited packet with zero bytes to this length (0)",
       Number(&S::misbehaviour, &sMisbehaviourOptions::unsolicitedPad)},
      {"--unsolicited-repeat", "N", "send the unsolicited packets this many times in a row (1)",
       Number(&S::misbehaviour, &sMisbehaviourOptions::unsolicitedRepeat)},
      {"--truncate", "STAGE[:CODE[:N]]", "matching answers lose their last byte (repeatable)",
       Rule(&sMisbehaviourOptions::truncated)},
      {"--pad", "STAGE[:CODE[:N]]", "matching answers gain a zero byte (repeatable)",
       Rule(&sMisbehaviourOptions::padded)},
      {"--duplicate", "STAGE[:CODE[:N]]", "send matching answers twice (repeatable)",
       Rule(&sMisbehaviourOptions::duplicated)},
      {"--hold-back", "STAGE[:CODE[:N]]", "send matching answers after the next answer (repeatable)",
       Rule(&sMisbehaviourOptions::heldBack)},
      {"--late", "STAGE[:CODE[:N]]", "answer matching requests only after --late-ms (repeatable)",
       Rule(&sMisbehaviourOptions::late)},
      {"--late-ms", "MS", "delay of late answers (6000)", Number(&S::misbehaviour, &sMisbehaviourOptions::lateMs)},
      {"--wrong-address", "STAGE[:CODE[:N]]",
       "store matching SDL writes 0x10000000 higher and acknowledge that address (repeatable)",
       Rule(&sMisbehaviourOptions::wrongAddress)},
      {"--relative-address", "STAGE[:CODE[:N]]",
       "acknowledge matching SDL writes with their address less the base address (repeatable)",
       Rule(&sMisbehaviourOptions::relativeAddress)},
      {"--base-address-answer", "STAGE[:CODE[:N]]",
       "acknowledge matching SDL writes with the base address, whatever theirs (repeatable)",
       Rule(&sMisbehaviourOptions::baseAddressAnswer)},
      {"--lose", "STAGE[:CODE[:N]]", "matching requests never reach the module: no effect, no answer (repeatable)",
       Rule(&sMisbehaviourOptions::lost)},
      {"--vanish", "STAGE[:CODE[:N]]", "drop off the bus instead of answering matching requests (repeatable)",
       Rule(&sMisbehaviourOptions::vanish)},
      {"--vanish-offline", "MS", "come back to the same stage after this long off the bus (0: never)",
       Number(&S::misbehaviour, &sMisbehaviourOptions::vanishOfflineMs)},
      {"--stall", "STAGE[:CODE[:N]]", "stop reading the line for good at matching requests (repeatable)",
       Rule(&sMisbehaviourOptions::stall)},
      // Several upgrades.
      {"--control", "PATH",
       "make a FIFO at PATH and take commands from it, one a line: plug LOCATION, unplug LOCATION, quit",
       Text(&S::station, &sStationOptions::control)},
      {"--return-after-reset", nullptr, "after the reset, come back in the normal firmware, ready for another upgrade",
       Flag(&S::station, &sStationOptions::returnAfterReset)},
      // Records.
      {"--record-dir", "DIR", "write ram.bin, flash.bin, requests.txt and summary.txt here at exit",
       Text(&S::record, &sRecordOptions::recordDir)},
      {"--expect-image", "FILE", "compare flash at the base address with FILE at exit; exit status tells",
       Text(&S::record, &sRecordOptions::expectImage)},
      {"--verbose", nullptr, "log every packet on standard error", Flag(&S::record, &sRecordOptions::verbose)},
      {"--trace", "FILE", "write every frame read and written to FILE, as ZNTV_TRACE makes the updater do",
       Text(&S::record, &sRecordOptions::trace)},
      // Wine.
      {"--wine-prefix", "DIR", "also register the module as a COM port in this Wine prefix",
       Text(&S::wine, &sWineOptions::prefix)},
      {"--com", "N", "COM port number under Wine of the first module; the next ones count up (5)",
       Number(&S::wine, &sWineOptions::comNumber)},
  };
  return table;
}

// Every list of names has one per module, and no two modules start at the
// same place or under the same name (later a module may take a name that
// another has let go of).
std::string CheckModuleNames(const sDeviceOptions& device, eStage startStage) {
  if (device.modules == 0) return "--modules: at least one module\n";
  const std::pair<const char*, const std::vector<std::string>*> lists[] = {{"--entry", &device.entries},
                                                                           {"--dl-entry", &device.dlEntries},
                                                                           {"--sdl-entry", &device.sdlEntries},
                                                                           {"--location", &device.locations},
                                                                           {"--dl-location", &device.dlLocations},
                                                                           {"--sdl-location", &device.sdlLocations},
                                                                           {"--peer", &device.peers},
                                                                           {"--intruder-at", &device.intruders}};
  for (const auto& [name, list] : lists) {
    if (!list->empty() && list->size() != device.modules) {
      return std::string(name) + ": " + std::to_string(list->size()) + " names for " + std::to_string(device.modules) +
             " modules\n";
    }
  }
  std::set<std::string> entries, locations, firstLocations;
  for (unsigned index = 0; index < device.modules; ++index) {
    const sModulePlace place = PlaceOfModule(device, index);
    if (!entries.insert(place.entries[static_cast<int>(startStage)]).second ||
        !locations.insert(place.locations[static_cast<int>(startStage)]).second) {
      return "two modules at one place or under one name at the start\n";
    }
    firstLocations.insert(place.location);
  }
  const std::vector<std::string>& off = device.unpluggedLocations;
  for (const std::string& location : off) {
    if (!firstLocations.count(location) && !(location == "all" && off.size() == 1)) {
      return "--unplugged: no module at " + location + "\n";
    }
  }
  return {};
}

std::string Usage() {
  std::ostringstream text;
  text << "usage: zntv-module-sim [options]\n"
          "Plays the module (or --modules N of them) on a pseudo-terminal; prints PROGRAMFILES,\n"
          "SYSFS_PATH and DEV_PATH as export lines, then serves one upgrade of each. Exit status: 0\n"
          "after a reset of every module (and a matching image when asked), 1 image mismatch, 2 usage\n"
          "or set-up error, 3 run ended without reset.\n"
          "With --control, --unplugged or --return-after-reset each module serves one upgrade after\n"
          "another and writes a timeline of its events (<monotonic ms> <event>) with its records; the\n"
          "records of its n-th upgrade after the first carry the suffix .n. The exit status is then 0\n"
          "when every upgrade ended in a reset (with a matching image when asked).\n"
          "Every fault it injects, and how the run ends, is said on standard error with the time since\n"
          "the start, on the clock of the traffic trace (--trace).\n";
  for (const auto& option : OptionTable()) {
    std::string head = std::string("  ") + option.name + (option.argument ? std::string(" ") + option.argument : "");
    text << head << std::string(head.size() < 34 ? 34 - head.size() : 1, ' ') << option.help << "\n";
  }
  return text.str();
}

}  // namespace

sParseResult ParseOptions(int argc, char** argv) {
  sParseResult result;
  sSimOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      result.message = Usage();
      result.isHelp = true;
      return result;
    }
    const sOptionEntry* option = nullptr;
    for (const auto& candidate : OptionTable()) {
      if (arg == candidate.name) option = &candidate;
    }
    if (!option) {
      result.message = "unknown option " + std::string(arg) + "\n" + Usage();
      return result;
    }
    std::string value;
    if (option->argument) {
      if (i + 1 >= argc) {
        result.message = std::string(option->name) + " needs " + option->argument + "\n";
        return result;
      }
      value = argv[++i];
    }
    if (auto error = option->set(options, value); !error.empty()) {
      result.message = std::string(option->name) + ": " + error + "\n";
      return result;
    }
  }
  result.message = CheckModuleNames(options.device, options.startStage);
  if (result.message.empty()) result.options = options;
  return result;
}

}  // namespace sim
