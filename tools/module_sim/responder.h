// Between the stages and the line: counts each stage's requests by command
// code, records them, and sends the stage's answers framed, shaped by the
// misbehaviour rules that match the request: stay silent, damage the FCS,
// put noise, flags or unsolicited packets in front, cut or pad the answer,
// send it twice, late or after the next one, or, instead of answering, drop
// off the bus or stop reading the line. Single-threaded.
#pragma once
#include <functional>
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

// Thrown when the module drops off the bus in the middle of a stage.
struct sLeftBus {};

class cResponder {
 public:
  cResponder(cPtyLink& link, const sMisbehaviourOptions& misbehaviour, sRunRecord& record, bool verbose);

  // From now on, call runs with the stage of the first request recorded in
  // the run record (the start of an upgrade).
  void WhenFirstRequested(std::function<void(eStage)> call) { onFirstRequest_ = std::move(call); }
  // Counts and records a request; details are appended to its record line.
  sRequestTag Note(eStage stage, const Bytes& request, const std::string& details = {});
  // True (and the request counted and recorded as lost) when a rule says the
  // request never reached the module; the stage then ignores it.
  bool Lose(eStage stage, const Bytes& request);
  // Sends packets in one write: any leading packets (log, unsolicited) as
  // they are, then the last one, the answer proper, shaped by the rules.
  // Throws sLeftBus when the module is to drop off instead, and cRunEnded
  // when it stops reading.
  void Answer(const sRequestTag& tag, const std::vector<Bytes>& packets);

  bool Matches(const std::vector<sAnswerRule>& rules, const sRequestTag& tag) const;
  // Says on standard error which fault the module injects at this request,
  // and when (seconds since the start, the clock of the traffic trace).
  void ReportFault(const sRequestTag& tag, const std::string& fault) const;

 private:
  void AppendLineTrouble(const sRequestTag& tag, Bytes& wire) const;
  void ReportShaping(const sRequestTag& tag) const;
  Bytes ShapedAnswer(const sRequestTag& tag, const Bytes& answer) const;
  void Log(const char* direction, const sRequestTag& tag, const Bytes& packet, const char* note) const;

  cPtyLink& link_;
  const sMisbehaviourOptions& misbehaviour_;
  sRunRecord& record_;
  bool verbose_;
  std::map<std::pair<eStage, uint8_t>, unsigned> counts_;
  Bytes heldBack_;  // frames of answers that go out after the next answer
  std::function<void(eStage)> onFirstRequest_;
};

// One line on standard error with the time since the start (the clock of the
// traffic trace): a fault injected, or how the run ends.
void ReportEvent(const std::string& event);
// Names the module in every report of this process from now on (one of
// several modules: "module 1-3: "); empty by default.
void SetReportLabel(const std::string& label);

// A frame of payload whose FCS no longer matches.
Bytes DamagedFrame(const Bytes& payload);

}  // namespace sim
