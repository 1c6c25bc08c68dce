// Rule matching, request records and answer framing.
#include "tools/module_sim/responder.h"

#include <cstdio>

namespace sim {

namespace {

Bytes Frame(const Bytes& payload) { return EncodeHdlcFrame(payload.data(), payload.size()); }

std::string RequestLine(eStage stage, const Bytes& request, const std::string& details) {
  char head[48];
  std::snprintf(head, sizeof head, "%s %02x %zu", StageName(stage), request.empty() ? 0u : request[0],
                request.size());
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

void cResponder::Answer(const sRequestTag& tag, const std::vector<Bytes>& packets) {
  if (packets.empty()) return;
  if (Matches(misbehaviour_.silent, tag)) {
    Log("--", tag, packets.back(), " (withheld)");
    return;
  }
  Bytes wire;
  auto append = [&wire](const Bytes& frame) { wire.insert(wire.end(), frame.begin(), frame.end()); };
  for (size_t i = 0; i + 1 < packets.size(); ++i) {
    Log("->", tag, packets[i], "");
    append(Frame(packets[i]));
  }
  const Bytes& answer = packets.back();
  if (Matches(misbehaviour_.damagedBefore, tag)) {
    Log("->", tag, answer, " (damaged copy)");
    append(DamagedFrame(answer));
  }
  const bool damage = Matches(misbehaviour_.badFcs, tag);
  Log("->", tag, answer, damage ? " (bad FCS)" : "");
  append(damage ? DamagedFrame(answer) : Frame(answer));
  link_.Write(wire);
}

void cResponder::Log(const char* direction, const sRequestTag& tag, const Bytes& packet, const char* note) const {
  if (!verbose_) return;
  std::fprintf(stderr, "zntv-module-sim: %s %s %02x (%zu bytes)%s\n", StageName(tag.stage), direction,
               packet.empty() ? 0u : packet[0], packet.size(), note);
}

}  // namespace sim
