// Helpers shared by the device tests: packets from byte lists, and the
// console output of a piece of code.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device/hdlc/packet_builder.h"
#include "protocol/protocol_buffer.h"

using Bytes = std::vector<uint8_t>;

inline sProtocolBuffer Packet(int32_t kind, const Bytes& bytes) { return MakePacket(kind, bytes); }

inline Bytes BytesOf(const sProtocolBuffer& packet) {
  return packet.GetData() ? Bytes(packet.GetData(), packet.GetData() + packet.GetSize()) : Bytes{};
}

// Everything f prints on standard output.
template <class F>
std::string ConsoleOutputOf(F&& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}
