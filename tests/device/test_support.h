// Helpers shared by the device tests: packets from byte lists, and the lines
// a piece of code reports.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device/hdlc/packet_builder.h"
#include "protocol/protocol_buffer.h"
#include "report/reporter.h"
#include "tests/recording_sink.h"

using Bytes = std::vector<uint8_t>;

inline sProtocolBuffer Packet(int32_t kind, const Bytes& bytes) { return MakePacket(kind, bytes); }

inline Bytes BytesOf(const sProtocolBuffer& packet) {
  return packet.GetData() ? Bytes(packet.GetData(), packet.GetData() + packet.GetSize()) : Bytes{};
}

// The lines f reports through the (SDL) reporter it is handed, as the console
// prints them on standard output.
template <class F>
std::string TranscriptOf(F&& f) {
  test_support::cRecordingSink sink;
  f(report::cReporter(sink, report::eStage::Sdl));
  return sink.Transcript();
}
