// The boot downloader: reports its parameters, stores writes in RAM, and on
// the go request starts the programmer, which means leaving the bus. Anything
// it cannot carry out is refused with a NAK.
#include "tools/module_sim/stages.h"

namespace sim {

namespace {

constexpr uint8_t kAck = 0x02, kNak = 0x03, kGo = 0x05, kParameters = 0x07, kParametersAnswer = 0x08, kDlWrite = 0x0F;
constexpr uint16_t kNakInvalidCommand = 0x0001, kNakBadLength = 0x0002, kNakTooLarge = 0x0003;
constexpr size_t kDlWriteHeader = 7, kGoLength = 5;

Bytes Nak(uint16_t reason) {
  Bytes answer{kNak};
  PutBe(answer, reason, 2);
  return answer;
}

Bytes ParametersAnswer(const sDlOptions& dl) {
  Bytes answer{kParametersAnswer, dl.version, dl.minVersion};
  PutBe(answer, dl.maxWrite, 2);
  answer.insert(answer.end(), {0x00, 0x00, 0x00});
  return answer;
}

// Address (BE32), length (BE16), data: stored when whole and within the
// downloader's limit.
Bytes Write(sStageContext& context, const Bytes& request, std::string& details) {
  if (request.size() < kDlWriteHeader) return Nak(kNakBadLength);
  const uint32_t address = GetBe(&request[1], 4);
  const uint32_t length = GetBe(&request[5], 2);
  details = HexAddress(address) + " " + std::to_string(length);
  if (request.size() != kDlWriteHeader + length || length == 0) return Nak(kNakBadLength);
  if (length > context.options.dl.maxWrite) return Nak(kNakTooLarge);
  context.record.ram.Write(address, &request[kDlWriteHeader], length);
  return {kAck};
}

}  // namespace

void RunDlStage(sStageContext& context) {
  for (;;) {
    const Bytes request = context.link.NextPacket();
    if (context.responder.Lose(eStage::Dl, request)) continue;
    std::string details;
    Bytes answer;
    bool started = false;
    if (request[0] == kParameters && request.size() == 1) {
      answer = ParametersAnswer(context.options.dl);
    } else if (request[0] == kDlWrite) {
      answer = Write(context, request, details);
    } else if (request[0] == kGo && request.size() == kGoLength) {
      context.record.startAddress = GetBe(&request[1], 4);
      details = HexAddress(*context.record.startAddress);
      answer = {kAck};
      started = true;
    } else {
      answer = Nak(kNakInvalidCommand);
    }
    if (answer[0] == kNak) ++context.record.rejectedRequests;
    context.responder.Answer(context.responder.Note(eStage::Dl, request, details), {answer});
    if (started) return;
  }
}

}  // namespace sim
