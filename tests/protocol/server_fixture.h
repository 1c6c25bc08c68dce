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
    ZNTV_REQUIRE_SETUP(module.IsReady(), kNoLine);
    ASSERT_TRUE(server.Initialize());
    ASSERT_TRUE(server.Connect(module.PortName()));
  }
  void TearDown() override { platform::SetSystemTimeOffsetForTest(0); }

  // Queues bytes as a request recording into events; adjust changes it first.
  uint32_t Queue(const tBytes& bytes, const std::function<void(sProtocolRequest&)>& adjust = nullptr) {
    const cRecordingNotification notification(events);
    sProtocolRequest request(MakePayload(bytes), &notification);
    if (adjust) adjust(request);
    return server.Send(request);
  }

  cFakeModule module;
  cTestServer server;
  std::shared_ptr<cEventRecord> events = std::make_shared<cEventRecord>();
};

inline std::chrono::milliseconds Between(tClock::time_point from, tClock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from);
}
