// What the simulated module remembers of an upgrade: the bytes written to RAM
// and to flash at their addresses, the programmer's start address, every
// request in order, and how the run ended; written out and checked at exit.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/output_file.h"
#include "tools/module_sim/sim_bytes.h"
#include "tools/module_sim/sim_options.h"
#include "tools/module_sim/sim_waiter.h"

namespace sim {

// Writes to one address space, kept in arrival order (a later write wins).
class cMemoryRecord {
 public:
  void Write(uint32_t address, const uint8_t* data, size_t size);
  size_t WriteCount() const { return writes_.size(); }

  // The written range as one block from its lowest to its highest address;
  // bytes never written read 0xFF and are counted as gaps, bytes written more
  // than once as overlaps. Empty when nothing was written or the range spans
  // more than 256 MiB.
  struct sFlat {
    uint32_t address = 0;
    Bytes bytes;
    uint64_t gapBytes = 0;
    uint64_t overlapBytes = 0;
  };
  sFlat Flatten() const;

 private:
  std::vector<std::pair<uint32_t, Bytes>> writes_;
};

struct sRunRecord {
  std::vector<eStage> stages;  // in the order the module went through them
  cMemoryRecord ram;
  cMemoryRecord flash;
  std::optional<uint32_t> startAddress;
  unsigned helloCount = 0;
  unsigned rejectedRequests = 0;  // answered with a refusal (NAK or error)
  bool resetReceived = false;
  eRunEnd end = eRunEnd::Failure;
  std::vector<std::string> requests;  // one line per request: stage, code, length, details
  Bytes intruderBytes;                // written to another module that took the module's freed name
};

// Writes ram.bin, flash.bin, intruder.bin, requests.txt and summary.txt into
// dir, each name followed by suffix (".2" for a module's second upgrade),
// making dir (mode 0700) when missing, with the traffic trace's checks on the
// path and on each file; throws std::runtime_error saying why when refused.
void WriteRecords(const sRunRecord& record, const std::filesystem::path& dir, const std::string& suffix = {});

// The events of a module that lives through several upgrades, in the file
// timeline of its record directory: one line each, "<ms> <event>", ms on
// CLOCK_MONOTONIC (one clock for every process of the simulator), written
// as it happens so that a test can follow the module while it runs.
// Single-threaded.
class cTimeline {
 public:
  // Creates or empties dir/timeline with the checks of WriteRecords; an
  // empty dir keeps no timeline. Throws std::runtime_error saying why when
  // refused.
  explicit cTimeline(const std::filesystem::path& dir);
  // event: plugged, unplugged, upgrade-start, reset, failed, back-normal.
  void Note(const char* event);

 private:
  std::optional<platform::cOutputFile> file_;
};

// Compares flash at baseAddress with the file; prints one line saying so on
// out, after label. True when flash holds exactly the file's bytes there and
// nothing else.
bool VerifyFlash(const sRunRecord& record, uint32_t baseAddress, const std::filesystem::path& expected,
                 const std::string& label, std::FILE* out);

}  // namespace sim
