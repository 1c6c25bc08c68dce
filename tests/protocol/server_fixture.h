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
  }
  void TearDown() override { platform::SetSystemTimeOffsetForTest(0); }

  // Queues bytes as a request recording into events; adjust changes it first.
  uint32_t Queue(const LineBytes& bytes, const std::function<void(sProtocolRequest&)>& adjust = nullptr) {
    const cRecordingNotification notification(events_);
    sProtocolRequest request(MakePayload(bytes), &notification);
    if (adjust) adjust(request);
    return server_.Send(request);
  }

  cFakeModule module_;
  cTestServer server_;
  std::shared_ptr<cEventRecord> events_ = std::make_shared<cEventRecord>();
};

inline std::chrono::milliseconds Between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from);
}
