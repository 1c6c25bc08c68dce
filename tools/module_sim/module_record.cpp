// Flattening, writing out and checking what the module recorded.
#include "tools/module_sim/module_record.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "platform/output_file.h"
#include "platform/safe_path_posix.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMaxFlatSpan = 256ull << 20;

[[noreturn]] void RefuseRecords(const fs::path& dir, const std::string& problem) {
  throw std::runtime_error("cannot write the records to " + dir.string() + ": " + problem);
}

// The record directory, made when missing, through the trace's checks.
void MakeRecordFolder(const fs::path& dir) {
  const platform::sCheckedFolder folder = platform::OpenCheckedFolder(dir.string(), platform::eMissingFolders::Make);
  if (!folder.handle.IsValid()) RefuseRecords(dir, platform::FailureOf(folder));
}

// One record file with the trace's checks: the record directory may lie
// where other users can plant names.
platform::cOutputFile OpenRecordFile(const fs::path& dir, const std::string& name) {
  platform::sOpenedFile opened = platform::cOutputFile::AtPath((dir / name).string());
  std::string problem = opened.refusal;
  if (problem.empty() && !opened.status) problem = "system error " + std::to_string(opened.status.code);
  if (!problem.empty()) RefuseRecords(dir, name + ": " + problem);
  return std::move(opened.file);
}

// One record file, written whole.
void WriteRecordFile(const fs::path& dir, const std::string& name, const void* data, size_t size) {
  if (!OpenRecordFile(dir, name).Write(data, size)) RefuseRecords(dir, name + ": it could not be written");
}

void WriteRecordFile(const fs::path& dir, const std::string& name, const std::string& text) {
  WriteRecordFile(dir, name, text.data(), text.size());
}

void Describe(std::ostream& out, const char* name, const cMemoryRecord& memory) {
  const auto flat = memory.Flatten();
  out << name << "_writes=" << memory.WriteCount() << "\n"
      << name << "_address=" << HexAddress(flat.address) << "\n"
      << name << "_length=" << flat.bytes.size() << "\n"
      << name << "_gaps=" << flat.gapBytes << "\n"
      << name << "_overlaps=" << flat.overlapBytes << "\n";
}

std::string StageList(const std::vector<eStage>& stages) {
  std::string text;
  for (eStage stage : stages) text += (text.empty() ? "" : ",") + std::string(StageName(stage));
  return text;
}

}  // namespace

std::string HexAddress(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", address);
  return text;
}

void cMemoryRecord::Write(uint32_t address, const uint8_t* data, size_t size) {
  writes_.emplace_back(address, Bytes(data, data + size));
}

cMemoryRecord::sFlat cMemoryRecord::Flatten() const {
  sFlat flat;
  if (writes_.empty()) return flat;
  uint64_t low = UINT64_MAX, high = 0;
  for (const auto& [address, bytes] : writes_) {
    low = std::min<uint64_t>(low, address);
    high = std::max<uint64_t>(high, uint64_t(address) + bytes.size());
  }
  if (high - low > kMaxFlatSpan) return flat;
  flat.address = static_cast<uint32_t>(low);
  flat.bytes.assign(high - low, 0xFF);
  std::vector<uint8_t> written(high - low, 0);
  for (const auto& [address, bytes] : writes_) {
    const size_t offset = address - low;
    std::copy(bytes.begin(), bytes.end(), flat.bytes.begin() + static_cast<ptrdiff_t>(offset));
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (written[offset + i]++) ++flat.overlapBytes;
    }
  }
  flat.gapBytes = static_cast<uint64_t>(std::count(written.begin(), written.end(), 0));
  return flat;
}

void WriteRecords(const sRunRecord& record, const fs::path& dir, const std::string& suffix) {
  MakeRecordFolder(dir);
  const Bytes ram = record.ram.Flatten().bytes, flash = record.flash.Flatten().bytes;
  WriteRecordFile(dir, "ram.bin" + suffix, ram.data(), ram.size());
  WriteRecordFile(dir, "flash.bin" + suffix, flash.data(), flash.size());
  WriteRecordFile(dir, "intruder.bin" + suffix, record.intruderBytes.data(), record.intruderBytes.size());
  std::ostringstream requests;
  for (const auto& line : record.requests) requests << line << "\n";
  WriteRecordFile(dir, "requests.txt" + suffix, requests.str());
  std::ostringstream summary;
  summary << "stages=" << StageList(record.stages) << "\n";
  Describe(summary, "ram", record.ram);
  summary << "start_address=" << (record.startAddress ? HexAddress(*record.startAddress) : "none") << "\n";
  Describe(summary, "flash", record.flash);
  summary << "hello_requests=" << record.helloCount << "\n"
          << "rejected_requests=" << record.rejectedRequests << "\n"
          << "reset=" << (record.resetReceived ? "yes" : "no") << "\n"
          << "intruder_bytes=" << record.intruderBytes.size() << "\n"
          << "end=" << RunEndName(record.end) << "\n";
  WriteRecordFile(dir, "summary.txt" + suffix, summary.str());
}

cTimeline::cTimeline(const fs::path& dir) {
  if (dir.empty()) return;
  MakeRecordFolder(dir);
  file_.emplace(OpenRecordFile(dir, "timeline"));
}

void cTimeline::Note(const char* event) {
  if (!file_) return;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long ms = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  const std::string line = std::to_string(ms) + " " + event + "\n";
  if (!file_->Write(line.data(), line.size())) throw std::runtime_error("cannot write " + file_->Name());
}

bool VerifyFlash(const sRunRecord& record, uint32_t baseAddress, const fs::path& expected, const std::string& label,
                 std::FILE* out) {
  std::ifstream file(expected, std::ios::binary);
  if (!file) {
    std::fprintf(out, "%sFlash not verified: cannot read %s\n", label.c_str(), expected.c_str());
    return false;
  }
  const Bytes want{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  const auto flat = record.flash.Flatten();
  std::string problem;
  if (flat.bytes.empty()) {
    problem = "nothing was written";
  } else if (flat.address != baseAddress) {
    problem = "writes start at " + HexAddress(flat.address);
  } else if (flat.bytes.size() != want.size()) {
    problem = std::to_string(flat.bytes.size()) + " bytes written, " + std::to_string(want.size()) + " expected";
  } else if (flat.gapBytes != 0) {
    problem = std::to_string(flat.gapBytes) + " bytes never written";
  } else if (const auto diff = std::mismatch(want.begin(), want.end(), flat.bytes.begin()); diff.first != want.end()) {
    problem = "first difference at " + HexAddress(baseAddress + static_cast<uint32_t>(diff.first - want.begin()));
  }
  if (problem.empty()) {
    std::fprintf(out, "%sFlash verified: %zu bytes at %s match %s\n", label.c_str(), want.size(),
                 HexAddress(baseAddress).c_str(), expected.c_str());
  } else {
    std::fprintf(out, "%sFlash differs from %s: %s\n", label.c_str(), expected.c_str(), problem.c_str());
  }
  std::fflush(out);
  return problem.empty();
}

}  // namespace sim
