// Between the stages and the line: counts each stage's requests by command
// code, records them, and sends the stage's answers framed, unless a
// misbehaviour rule for that request says to stay silent, damage the FCS or
// send a damaged copy first. Single-threaded.
#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/module_sim/module_record.h"
#include "tools/module_sim/pty_link.h"
#include "tools/module_sim/sim_options.h"

namespace sim {

// One request as the rules see it: its stage, code and how many requests of
// that code the stage has received so far, this one included.
struct sRequestTag {
  eStage stage = eStage::Diag;
  uint8_t code = 0;
  unsigned occurrence = 0;
};

class cResponder {
 public:
  cResponder(cPtyLink& link, const sMisbehaviourOptions& misbehaviour, sRunRecord& record, bool verbose);

  // Counts and records a request; details are appended to its record line.
  sRequestTag Note(eStage stage, const Bytes& request, const std::string& details = {});
  // Sends packets in one write: any leading packets (log, unsolicited) as
  // they are, then the last one, the answer proper, shaped by the rules.
  void Answer(const sRequestTag& tag, const std::vector<Bytes>& packets);

 private:
  bool Matches(const std::vector<sAnswerRule>& rules, const sRequestTag& tag) const;
  void Log(const char* direction, const sRequestTag& tag, const Bytes& packet, const char* note) const;

  cPtyLink& link_;
  const sMisbehaviourOptions& misbehaviour_;
  sRunRecord& record_;
  bool verbose_;
  std::map<std::pair<eStage, uint8_t>, unsigned> counts_;
};

// A frame of payload whose FCS no longer matches.
Bytes DamagedFrame(const Bytes& payload);

}  // namespace sim
