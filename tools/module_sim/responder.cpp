// Rule matching, request records and answer framing.
#include "tools/module_sim/responder.h"

#include <cstdio>

#include "framing/traffic_trace.h"

namespace sim {

namespace {

Bytes Frame(const Bytes& payload) { return EncodeHdlcFrame(payload.data(), payload.size()); }

// Bytes more than the host's reassembly buffer holds (four 64 KiB reads).
constexpr size_t kOverlongBytes = (size_t{1} << 18) + 4096;

// Reproducible noise without a flag, and not ending in an escape, which would
// swallow the flag that opens the next frame.
Bytes Noise(size_t size) {
  Bytes noise(size);
  uint32_t state = 0x2545F491;
  for (auto& byte : noise) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
    if (byte == kHdlcFlag) byte = 0x5A;
  }
  if (!noise.empty() && noise.back() == kHdlcEscape) noise.back() = 0x5D;
  return noise;
}

void Append(Bytes& wire, const Bytes& bytes) { wire.insert(wire.end(), bytes.begin(), bytes.end()); }

std::string RequestLine(eStage stage, const Bytes& request, const std::string& details) {
  char head[48];
  std::snprintf(head, sizeof head, "%s %02x %zu", StageName(stage), request.empty() ? 0u : request[0], request.size());
  return details.empty() ? head : std::string(head) + " " + details;
}

}  // namespace

// The last byte before the closing flag belongs to the FCS (possibly as the
// second byte of an escape); changing one bit of it breaks the check without
// creating a flag or an escape.
Bytes DamagedFrame(const Bytes& payload) {
  Bytes frame = Frame(payload);
  uint8_t& last = frame[frame.size() - 2];
  const uint8_t flipped = last ^ 0x01;
  last = (flipped == kHdlcFlag || flipped == kHdlcEscape) ? last ^ 0x10 : flipped;
  return frame;
}

cResponder::cResponder(cPtyLink& link, const sMisbehaviourOptions& misbehaviour, sRunRecord& record, bool verbose)
    : link_(link), misbehaviour_(misbehaviour), record_(record), verbose_(verbose) {}

sRequestTag cResponder::Note(eStage stage, const Bytes& request, const std::string& details) {
  sRequestTag tag{stage, request.empty() ? uint8_t(0) : request[0], 0};
  tag.occurrence = ++counts_[{stage, tag.code}];
  if (record_.requests.empty() && onFirstRequest_) onFirstRequest_(stage);
  record_.requests.push_back(RequestLine(stage, request, details));
  Log("<-", tag, request, "");
  return tag;
}

bool cResponder::Matches(const std::vector<sAnswerRule>& rules, const sRequestTag& tag) const {
  for (const auto& rule : rules) {
    if (rule.stage == tag.stage && (!rule.code || *rule.code == tag.code) &&
        (rule.occurrence == 0 || rule.occurrence == tag.occurrence)) {
      return true;
    }
  }
  return false;
}

bool cResponder::Lose(eStage stage, const Bytes& request) {
  const sRequestTag next{stage, request.empty() ? uint8_t(0) : request[0],
                         counts_[{stage, request.empty() ? uint8_t(0) : request[0]}] + 1};
  if (!Matches(misbehaviour_.lost, next)) return false;
  ReportFault(next, "request lost on its way (--lose)");
  Note(stage, request, "lost");
  return true;
}

void cResponder::ReportFault(const sRequestTag& tag, const std::string& fault) const {
  char request[48];
  std::snprintf(request, sizeof request, "%s request %02x #%u: ", StageName(tag.stage), tag.code, tag.occurrence);
  ReportEvent(request + fault);
}

namespace {

std::string& ReportLabel() {
  static std::string label;
  return label;
}

}  // namespace

void SetReportLabel(const std::string& label) { ReportLabel() = label; }

void ReportEvent(const std::string& event) {
  const double seconds = static_cast<double>(TimeSinceProgramStart().count()) / 1e6;
  std::fprintf(stderr, "zntv-module-sim: %sat %.6f s, %s\n", ReportLabel().c_str(), seconds, event.c_str());
}

void cResponder::Answer(const sRequestTag& tag, const std::vector<Bytes>& packets) {
  if (packets.empty()) return;
  if (Matches(misbehaviour_.stall, tag)) {
    ReportFault(tag, "stops reading the line for good (--stall)");
    Log("--", tag, packets.back(), " (stopped reading)");
    link_.StopReading();
  }
  if (Matches(misbehaviour_.vanish, tag)) {
    ReportFault(tag, "drops off the bus instead of answering (--vanish)");
    Log("--", tag, packets.back(), " (dropped off the bus)");
    throw sLeftBus{};
  }
  if (Matches(misbehaviour_.silent, tag)) {
    ReportFault(tag, "answer withheld (--silent)");
    Log("--", tag, packets.back(), " (withheld)");
    return;
  }
  if (Matches(misbehaviour_.late, tag)) {
    ReportFault(tag, "answer held for " + std::to_string(misbehaviour_.lateMs) + " ms (--late)");
    link_.Pause(std::chrono::milliseconds(misbehaviour_.lateMs));
  }
  ReportShaping(tag);
  Bytes wire;
  AppendLineTrouble(tag, wire);
  for (size_t i = 0; i + 1 < packets.size(); ++i) {
    Log("->", tag, packets[i], "");
    Append(wire, Frame(packets[i]));
  }
  const Bytes answer = ShapedAnswer(tag, packets.back());
  if (Matches(misbehaviour_.damagedBefore, tag)) {
    Log("->", tag, answer, " (damaged copy)");
    Append(wire, DamagedFrame(answer));
  }
  const bool damage = Matches(misbehaviour_.badFcs, tag);
  const Bytes frame = damage ? DamagedFrame(answer) : Frame(answer);
  const bool duplicate = Matches(misbehaviour_.duplicated, tag);
  Bytes& destination = Matches(misbehaviour_.heldBack, tag) ? heldBack_ : wire;
  const bool holdBack = &destination == &heldBack_;
  Log("->", tag, answer, damage ? " (bad FCS)" : holdBack ? " (held back)" : duplicate ? " (twice)" : "");
  Append(destination, frame);
  if (duplicate) Append(destination, frame);
  if (!holdBack && !heldBack_.empty()) {
    Append(wire, heldBack_);
    heldBack_.clear();
  }
  link_.Write(wire);
}

// Noise, flags, an over-long run without a flag and unsolicited packets, in
// that order, ahead of everything the answer sends.
void cResponder::AppendLineTrouble(const sRequestTag& tag, Bytes& wire) const {
  if (Matches(misbehaviour_.garbageBefore, tag)) Append(wire, Noise(misbehaviour_.garbageBytes));
  if (Matches(misbehaviour_.flagStorm, tag)) wire.insert(wire.end(), misbehaviour_.stormFlags, kHdlcFlag);
  if (Matches(misbehaviour_.overlongBefore, tag)) Append(wire, Noise(kOverlongBytes));
  if (!Matches(misbehaviour_.unsolicitedBefore, tag)) return;
  for (unsigned round = 0; round < misbehaviour_.unsolicitedRepeat; ++round) {
    for (Bytes packet : misbehaviour_.unsolicitedPackets) {
      if (packet.size() < misbehaviour_.unsolicitedPad) packet.resize(misbehaviour_.unsolicitedPad, 0x00);
      Append(wire, Frame(packet));
    }
  }
}

// What the rules do to this answer, one report each, in the order they
// shape the bytes on the line.
void cResponder::ReportShaping(const sRequestTag& tag) const {
  const struct {
    const std::vector<sAnswerRule>& rules;
    std::string fault;
  } shapings[] = {
      {misbehaviour_.garbageBefore,
       std::to_string(misbehaviour_.garbageBytes) + " bytes of noise before the answer (--garbage-before)"},
      {misbehaviour_.flagStorm,
       std::to_string(misbehaviour_.stormFlags) + " bare flags before the answer (--flag-storm)"},
      {misbehaviour_.overlongBefore,
       std::to_string(kOverlongBytes) + " bytes without a flag before the answer (--overlong-before)"},
      {misbehaviour_.unsolicitedBefore,
       std::to_string(misbehaviour_.unsolicitedPackets.size() * misbehaviour_.unsolicitedRepeat) +
           " unsolicited packets before the answer (--unsolicited-before)"},
      {misbehaviour_.damagedBefore, "a copy with a wrong FCS before the answer (--damaged-before)"},
      {misbehaviour_.truncated, "answer cut by its last byte (--truncate)"},
      {misbehaviour_.padded, "answer padded with a zero byte (--pad)"},
      {misbehaviour_.badFcs, "answer sent with a wrong FCS (--bad-fcs)"},
      {misbehaviour_.duplicated, "answer sent twice (--duplicate)"},
      {misbehaviour_.heldBack, "answer held back until after the next answer (--hold-back)"},
  };
  for (const auto& shaping : shapings) {
    if (Matches(shaping.rules, tag)) ReportFault(tag, shaping.fault);
  }
}

Bytes cResponder::ShapedAnswer(const sRequestTag& tag, const Bytes& answer) const {
  Bytes shaped = answer;
  if (Matches(misbehaviour_.truncated, tag) && !shaped.empty()) shaped.pop_back();
  if (Matches(misbehaviour_.padded, tag)) shaped.push_back(0x00);
  return shaped;
}

void cResponder::Log(const char* direction, const sRequestTag& tag, const Bytes& packet, const char* note) const {
  if (!verbose_) return;
  std::fprintf(stderr, "zntv-module-sim: %s %s %02x (%zu bytes)%s\n", StageName(tag.stage), direction,
               packet.empty() ? 0u : packet[0], packet.size(), note);
}

}  // namespace sim
