// Everything that shapes the simulated module: where it lives, what it reports
// about itself, and how it misbehaves. Filled once from the command line.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/module_sim/sim_bytes.h"

namespace sim {

// The three personalities of the module, in the order an upgrade meets them.
enum class eStage { Diag, Dl, Sdl };
const char* StageName(eStage stage);

// Selects answers: those to requests with command code `code` (any code when
// absent) in `stage`, either every one or only the occurrence-th (1-based)
// request of that code in that stage.
struct sAnswerRule {
  eStage stage = eStage::Diag;
  std::optional<uint8_t> code;
  unsigned occurrence = 0;  // 0: every matching request
};

enum class eResetAnswer { Done, Error, None };

struct sDeviceOptions {
  std::filesystem::path root;  // empty: a fresh temporary directory
  bool keepRoot = false;
  std::string configName = "SimModule";
  uint16_t vendorId = 0x0A1B;
  uint16_t productId = 0x2C3D;
  unsigned interfaceNumber = 2;
  unsigned modules = 1;
  // One name per module each, in module order; empty: the defaults (see
  // PlaceOfModule).
  std::vector<std::string> entries;       // tty entry in the normal firmware
  std::vector<std::string> dlEntries;     // tty entry as the boot downloader
  std::vector<std::string> sdlEntries;    // tty entry as the programmer
  std::vector<std::string> locations;     // the USB device's sysfs name
  std::vector<std::string> dlLocations;   // ... as the boot downloader
  std::vector<std::string> sdlLocations;  // ... as the programmer
  // The location whose hub port is the twin of the port at the module's
  // location (a USB 3 socket's other root hub); empty: no twin.
  std::vector<std::string> peers;
  // Where another module's boot downloader appears, under the name the
  // module freed, once the module has left the bus for good; empty: nowhere.
  std::vector<std::string> intruders;
  // A second tty entry of the first module's serial interface in the normal
  // firmware, on the same line; empty: none.
  std::string secondEntry;
  // The modules the misbehaviour options apply to, by location; empty: all.
  std::vector<std::string> faultyLocations;
  // The modules that start off the bus, by location, or {"all"}; empty: none.
  std::vector<std::string> unpluggedLocations;
  bool writeDescription = true;
};

// Where one of the simulated modules shows itself.
struct sModulePlace {
  unsigned index = 0;        // 0-based, in module order
  std::string entries[3];    // tty entry per stage, indexed by eStage
  std::string locations[3];  // USB device's sysfs name per stage, e.g. 1-2
  std::string location;      // the first stage's: names the module's records
  std::string peer;          // twin port's location, or empty
  std::string intruder;      // another module's location, or empty
};

// Whether the module at place starts off the bus (--unplugged).
bool StartsUnplugged(const sDeviceOptions& options, const sModulePlace& place);

// Module index's names: those given, or ttyUSB<index> in the normal firmware,
// the previous stage's entry and location in the next stage, and
// 1-<index + 2>.
sModulePlace PlaceOfModule(const sDeviceOptions& options, unsigned index);

struct sTimingOptions {
  uint64_t linkSpeed = 0;          // bytes per second each way; 0: unlimited
  unsigned dropDelayMs = 100;      // last answer to leaving the bus
  unsigned offlineDelayMs = 400;   // off the bus before coming back
  unsigned denyOpenMs = 0;         // after coming back, the port refuses opens this long
  unsigned idleTimeoutMs = 60000;  // no request for this long ends the run
  // A host that let go of the line and does not take it again within this
  // has given up (the updater failed or ended): the run ends. 0: wait the
  // idle time-out instead.
  unsigned hostGoneMs = 5000;
};

struct sDlOptions {
  uint8_t version = 2;
  uint8_t minVersion = 1;
  uint16_t maxWrite = 1024;
};

struct sSdlOptions {
  uint8_t maxVersion = 3;
  uint8_t minVersion = 2;
  uint32_t maxWrite = 4096;
  uint32_t baseAddress = 0x00200000;
  uint16_t window = 16;
  uint8_t featureMask = 0x01;
  std::string identification = "ZNTV-SIM";
  uint16_t tableEntries = 2;
  unsigned helloPadding = 0;  // extra bytes after the feature mask
  bool helloBadMagic = false;
  unsigned logEvery = 0;      // a log packet before every n-th write answer
  unsigned errorAtWrite = 0;  // answer this write (1-based) with an error packet
  uint32_t errorCode = 7;
  bool errorBare = false;  // error packet of 5 bytes, without its text
  eResetAnswer resetAnswer = eResetAnswer::Done;
};

struct sMisbehaviourOptions {
  std::vector<sAnswerRule> silent;         // request gets no answer
  std::vector<sAnswerRule> badFcs;         // answer goes out with a wrong FCS
  std::vector<sAnswerRule> damagedBefore;  // a damaged copy precedes the answer
  std::vector<Bytes> diagUnsolicited;      // sent before every DIAG answer
  size_t splitBytes = 0;                   // answers written in pieces of this size
  unsigned splitGapMs = 5;
  std::optional<eStage> neverReturnAfter;
  std::optional<eStage> stayAfter;  // goes on to the next stage without leaving the bus

  // Line trouble in front of matching answers.
  std::vector<sAnswerRule> garbageBefore;  // noise bytes without a flag
  size_t garbageBytes = 64;
  std::vector<sAnswerRule> flagStorm;  // a run of bare flags
  size_t stormFlags = 100000;
  std::vector<sAnswerRule> overlongBefore;  // more bytes without a flag than the host holds for a frame
  std::vector<sAnswerRule> unsolicitedBefore;
  std::vector<Bytes> unsolicitedPackets;  // sent before matching answers, in order
  size_t unsolicitedPad = 0;              // each padded with zero bytes to this length
  unsigned unsolicitedRepeat = 1;         // the whole set, this many times
  // Answers that are wrong in themselves (their FCS still checks).
  std::vector<sAnswerRule> truncated;   // last byte missing
  std::vector<sAnswerRule> padded;      // one zero byte too many
  std::vector<sAnswerRule> duplicated;  // sent twice
  std::vector<sAnswerRule> heldBack;    // sent after the next answer
  std::vector<sAnswerRule> late;        // sent lateMs after the request
  unsigned lateMs = 6000;
  std::vector<sAnswerRule> wrongAddress;       // SDL write stored and acknowledged elsewhere
  std::vector<sAnswerRule> relativeAddress;    // SDL write acknowledged with its address less the base
  std::vector<sAnswerRule> baseAddressAnswer;  // SDL write acknowledged with the base address
  // The module itself failing.
  std::vector<sAnswerRule> lost;    // request lost on its way: no effect, no answer
  std::vector<sAnswerRule> vanish;  // module drops off the bus instead of answering
  unsigned vanishOfflineMs = 0;     // then comes back after this long; 0: never
  std::vector<sAnswerRule> stall;   // module stops reading the line for good
};

struct sRecordOptions {
  std::filesystem::path recordDir;
  std::filesystem::path trace;  // empty: no traffic trace
  std::filesystem::path expectImage;
  bool verbose = false;
};

struct sWineOptions {
  std::filesystem::path prefix;  // empty: no Wine registration
  unsigned comNumber = 5;        // of the first module; the next ones count up
};

// A module that lives through several upgrades, as on a bench that upgrades
// whatever is plugged in.
struct sStationOptions {
  std::filesystem::path control;  // FIFO of plug/unplug/quit commands; empty: none
  bool returnAfterReset = false;  // back in the normal firmware after each reset
};

struct sSimOptions {
  sDeviceOptions device;
  sStationOptions station;
  eStage startStage = eStage::Diag;
  sTimingOptions timing;
  sDlOptions dl;
  sSdlOptions sdl;
  sMisbehaviourOptions misbehaviour;
  sRecordOptions record;
  sWineOptions wine;
};

struct sParseResult {
  std::optional<sSimOptions> options;  // absent: print `message` and stop
  std::string message;
  bool isHelp = false;
};

sParseResult ParseOptions(int argc, char** argv);

// Whether the modules live through several upgrades (--control, --unplugged,
// --return-after-reset) rather than one.
bool ServesSeveralUpgrades(const sSimOptions& options);
// Whether the simulator runs until told to end (--control, --unplugged): no
// time-out ends a module's run while it sits in its normal firmware.
bool RunsUntilTold(const sSimOptions& options);

}  // namespace sim
