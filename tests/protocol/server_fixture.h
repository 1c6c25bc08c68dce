// A connected test server and its module over a real serial line, with
// helpers to queue requests that record their events.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "fake_module.h"
#include "platform/clock.h"
#include "test_server.h"
#include "tests/setup_required.h"

using namespace std::chrono_literals;

inline constexpr const char* kNoLine = "no serial line to play the module on";

class ConnectedServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ZNTV_REQUIRE_SETUP(module_.IsReady(), kNoLine);
    ASSERT_TRUE(server_.Initialize());
    ASSERT_TRUE(server_.Connect(module_.PortName()));
    SettleLine();
  }
  void TearDown() override { platform::SetSystemTimeOffsetForTest(0); }

  // Queues bytes as a request recording into events; adjust changes it first.
  uint32_t Queue(const LineBytes& bytes, const std::function<void(sProtocolRequest&)>& adjust = nullptr) {
    const cRecordingNotification notification(events_);
    sProtocolRequest request(MakePayload(bytes), &notification);
    if (adjust) adjust(request);
    return server_.Send(request);
  }

  // On Linux each test has a pseudo-terminal of its own; under Wine the line
  // is a pair of COM ports joined outside the process and shared by every
  // test, so the last test's writes may still be on their way. A marker
  // written first and awaited by the module puts them behind the test: the
  // line keeps the order of its bytes. Its events go to a record of their
  // own, and the test starts once it has been sent.
  void SettleLine() {
    const LineBytes marker{0x5A, 0xC3, 0x3C, 0xA5, 0x96, 0x69, 0x0F, 0xF0};
    module_.DropUntil(marker);
    const auto markerEvents = std::make_shared<cEventRecord>();
    const cRecordingNotification notification(markerEvents);
    sProtocolRequest request(MakePayload(marker), &notification);
    request.sendOnly = true;
    ASSERT_NE(server_.Send(request), 0u);
    ASSERT_TRUE(module_.WaitForMarker(10s)) << "the line did not carry the marker";
    ASSERT_TRUE(markerEvents->WaitForCount(1, 10s)) << "the marker's write did not complete";
  }

  cFakeModule module_;
  cTestServer server_;
  std::shared_ptr<cEventRecord> events_ = std::make_shared<cEventRecord>();
};

inline std::chrono::milliseconds Between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from);
}
