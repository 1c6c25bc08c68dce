// The flash programmer: greets the host with its limits, stores streaming
// writes in flash and acknowledges each by address (optionally with log
// chatter or an error in its place, or with the address relative to the
// base, or with the base address every time), and leaves the bus after the
// reset.
#include <string_view>

#include "tools/module_sim/stages.h"

namespace sim {

namespace {

constexpr uint8_t kHello = 0x01, kHelloAnswer = 0x02, kWrite = 0x07, kWriteAnswer = 0x08, kReset = 0x0B,
                  kResetAnswer = 0x0C, kError = 0x0D, kLog = 0x0E;
constexpr std::string_view kHostMagic = "ZNTV fast download protocol host";
constexpr std::string_view kTargetMagic = "ZNTV fast download protocol targ";
constexpr size_t kHelloLength = 36, kWriteHeader = 5;
constexpr uint32_t kErrorInvalidCommand = 1, kErrorBadHello = 2, kErrorBadLength = 3, kErrorTooLarge = 4;
// Where a write lands when the module gets its address wrong.
constexpr uint32_t kWrongAddressOffset = 0x10000000;

Bytes Error(uint32_t code, const std::string& text, bool bare) {
  Bytes packet{kError};
  PutLe(packet, code, 4);
  if (!bare) PutText(packet, text);
  return packet;
}

// Code, magic, versions, max write, base, identification, window, table,
// feature mask, and any padding asked for.
Bytes HelloAnswer(const sSdlOptions& sdl) {
  Bytes answer{kHelloAnswer};
  std::string magic(kTargetMagic);
  if (sdl.helloBadMagic) magic.back() = '?';
  PutText(answer, magic);
  answer.push_back(sdl.maxVersion);
  answer.push_back(sdl.minVersion);
  PutLe(answer, sdl.maxWrite, 4);
  PutLe(answer, sdl.baseAddress, 4);
  const std::string identification = sdl.identification.substr(0, 255);  // its length must fit a byte
  answer.push_back(static_cast<uint8_t>(identification.size()));
  PutText(answer, identification);
  PutLe(answer, sdl.window, 2);
  PutLe(answer, sdl.tableEntries, 2);
  for (uint32_t i = 0; i < sdl.tableEntries; ++i) PutLe(answer, 0x00010000u * (i + 1), 4);
  answer.push_back(sdl.featureMask);
  answer.insert(answer.end(), sdl.helloPadding, 0x00);
  return answer;
}

bool IsHostHello(const Bytes& request) {
  return request.size() == kHelloLength &&
         std::string_view(reinterpret_cast<const char*>(&request[1]), kHostMagic.size()) == kHostMagic;
}

class cProgrammer {
 public:
  explicit cProgrammer(sStageContext& context) : context_(context), sdl_(context.options.sdl) {}

  // Answers one request; false once the module resets.
  bool Serve(const Bytes& request) {
    switch (request[0]) {
      case kHello:
        return Hello(request);
      case kWrite:
        return Write(request);
      case kReset:
        return Reset(request);
      default:
        return Refuse(Note(request), kErrorInvalidCommand, "invalid command");
    }
  }

 private:
  sRequestTag Note(const Bytes& request, const std::string& details = {}) {
    return context_.responder.Note(eStage::Sdl, request, details);
  }

  bool Refuse(const sRequestTag& tag, uint32_t code, const std::string& text) {
    ++context_.record.rejectedRequests;
    context_.responder.Answer(tag, {Error(code, text, sdl_.errorBare)});
    return true;
  }

  bool Hello(const Bytes& request) {
    const sRequestTag tag = Note(request);
    ++context_.record.helloCount;
    if (!IsHostHello(request)) return Refuse(tag, kErrorBadHello, "bad hello");
    if (sdl_.helloBadMagic)
      context_.responder.ReportFault(tag, "hello answered with a damaged magic (--sdl-hello-bad-magic)");
    context_.responder.Answer(tag, {HelloAnswer(sdl_)});
    return true;
  }

  bool Write(const Bytes& request) {
    if (request.size() <= kWriteHeader) return Refuse(Note(request), kErrorBadLength, "short write");
    const uint32_t address = GetLe(&request[1], 4);
    const size_t length = request.size() - kWriteHeader;
    const sRequestTag tag = Note(request, HexAddress(address) + " " + std::to_string(length));
    if (length > sdl_.maxWrite) return Refuse(tag, kErrorTooLarge, "write too large");
    ++writes_;
    if (writes_ == sdl_.errorAtWrite) {
      context_.responder.ReportFault(
          tag, "write answered with error " + std::to_string(sdl_.errorCode) + " (--sdl-error-at)");
      return Refuse(tag, sdl_.errorCode, "flash write failed");
    }
    const bool misplaced = context_.responder.Matches(context_.options.misbehaviour.wrongAddress, tag);
    const uint32_t stored = misplaced ? address + kWrongAddressOffset : address;
    if (misplaced) {
      context_.responder.ReportFault(tag,
                                     "write stored and acknowledged at " + HexAddress(stored) + " (--wrong-address)");
    }
    context_.record.flash.Write(stored, &request[kWriteHeader], length);
    std::vector<Bytes> packets;
    if (sdl_.logEvery && writes_ % sdl_.logEvery == 0) {
      Bytes log{kLog};
      PutText(log, "wrote " + std::to_string(length) + " bytes at " + HexAddress(address));
      packets.push_back(log);
    }
    const bool relative = context_.responder.Matches(context_.options.misbehaviour.relativeAddress, tag);
    if (relative) {
      context_.responder.ReportFault(tag, "write acknowledged at " + HexAddress(stored - sdl_.baseAddress) +
                                              ", its address less the base (--relative-address)");
    }
    const bool baseOnly = context_.responder.Matches(context_.options.misbehaviour.baseAddressAnswer, tag);
    if (baseOnly) {
      context_.responder.ReportFault(
          tag, "write acknowledged at the base address " + HexAddress(sdl_.baseAddress) + " (--base-address-answer)");
    }
    Bytes answer{kWriteAnswer};
    PutLe(answer, baseOnly ? sdl_.baseAddress : relative ? stored - sdl_.baseAddress : stored, 4);
    packets.push_back(answer);
    context_.responder.Answer(tag, packets);
    return true;
  }

  bool Reset(const Bytes& request) {
    const sRequestTag tag = Note(request);
    context_.record.resetReceived = true;
    if (sdl_.resetAnswer == eResetAnswer::Done) context_.responder.Answer(tag, {{kResetAnswer}});
    if (sdl_.resetAnswer == eResetAnswer::Error) {
      context_.responder.ReportFault(tag, "reset answered with an error (--reset-answer 0d)");
      context_.responder.Answer(tag, {Error(sdl_.errorCode, "reset refused", sdl_.errorBare)});
    }
    if (sdl_.resetAnswer == eResetAnswer::None)
      context_.responder.ReportFault(tag, "reset not answered (--reset-answer none)");
    return false;
  }

  sStageContext& context_;
  const sSdlOptions& sdl_;
  unsigned writes_ = 0;
};

}  // namespace

void RunSdlStage(sStageContext& context) {
  cProgrammer programmer(context);
  for (;;) {
    const Bytes request = context.link.NextPacket();
    if (!context.responder.Lose(eStage::Sdl, request) && !programmer.Serve(request)) return;
  }
}

}  // namespace sim
