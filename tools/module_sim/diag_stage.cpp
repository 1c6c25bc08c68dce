// The normal firmware: answers its build ID and the mode request, and on the
// download mode request answers and reboots into the boot downloader. May
// chatter unsolicited packets before its answers.
#include "tools/module_sim/stages.h"

namespace sim {

namespace {

constexpr uint8_t kBuildId = 0x7C, kModeChange = 0x00, kDownloadMode = 0x3A, kBadCommand = 0x13;

Bytes BuildIdAnswer() {
  Bytes answer{kBuildId};
  PutText(answer, "ZNTV-SIM firmware 1.0");
  return answer;
}

// Unknown commands come back whole behind the bad-command code.
Bytes BadCommandAnswer(const Bytes& request) {
  Bytes answer{kBadCommand};
  answer.insert(answer.end(), request.begin(), request.end());
  return answer;
}

}  // namespace

void RunDiagStage(sStageContext& context) {
  const auto& unsolicited = context.options.misbehaviour.diagUnsolicited;
  for (;;) {
    const Bytes request = context.link.NextPacket();
    if (context.responder.Lose(eStage::Diag, request)) continue;
    const sRequestTag tag = context.responder.Note(eStage::Diag, request);
    std::vector<Bytes> packets(unsolicited.begin(), unsolicited.end());
    switch (request[0]) {
      case kBuildId:
        packets.push_back(BuildIdAnswer());
        break;
      case kModeChange:
        packets.push_back(request);
        break;
      case kDownloadMode:
        packets.push_back(request);
        break;
      default:
        ++context.record.rejectedRequests;
        packets.push_back(BadCommandAnswer(request));
        break;
    }
    context.responder.Answer(tag, packets);
    if (request[0] == kDownloadMode) return;
  }
}

}  // namespace sim
