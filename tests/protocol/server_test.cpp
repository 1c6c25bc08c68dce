// The server's life cycle and client operations: start, connect, refusals,
// shutdown and what it drops.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "server_fixture.h"

namespace {

TEST(ServerLifecycle, OperationsBeforeInitializeFail) {
  cFakeModule module;
  ZNTV_REQUIRE_SETUP(module.IsReady(), kNoLine);
  cTestServer server;
  EXPECT_FALSE(server.Connect(module.PortName()));
  sProtocolRequest request(MakePayload({0x01}));
  EXPECT_EQ(server.Send(request), 0u);
  EXPECT_FALSE(server.Cancel(1));
  EXPECT_TRUE(server.Shutdown());
}

TEST(ServerLifecycle, SecondInitializeFailsAndTheFirstWorkerRuns) {
  cFakeModule module;
  ZNTV_REQUIRE_SETUP(module.IsReady(), kNoLine);
  cTestServer server;
  ASSERT_TRUE(server.Initialize());
  EXPECT_FALSE(server.Initialize());
  EXPECT_TRUE(server.Connect(module.PortName()));
}

TEST(ServerLifecycle, ConnectFailures) {
  cFakeModule module;
  ZNTV_REQUIRE_SETUP(module.IsReady(), kNoLine);
  cTestServer server;
  ASSERT_TRUE(server.Initialize());
  EXPECT_EQ(server.Connect(L"").code, platform::kErrorFileNotFound);
  EXPECT_EQ(server.Connect(L"/dev/zntv-no-such-port").code, platform::kErrorFileNotFound);
  server.configureFails = true;
  const platform::sStatus unconfigured = server.Connect(module.PortName());
  EXPECT_FALSE(unconfigured);
  EXPECT_NE(unconfigured.code, platform::kErrorSuccess);
  server.configureFails = false;
  const platform::sStatus connected = server.Connect(module.PortName());
  EXPECT_TRUE(connected);
  EXPECT_EQ(connected.code, platform::kErrorSuccess);
}

TEST(ServerLifecycle, ConnectWithoutAWorkerFailsAsACommandThatDidNotRun) {
  cFakeModule module;
  ZNTV_REQUIRE_SETUP(module.IsReady(), kNoLine);
  cTestServer server;
  EXPECT_EQ(server.Connect(module.PortName()).code, platform::kStatusFail);
}

TEST_F(ConnectedServer, RequestsOfAnotherKindAreRefused) {
  sProtocolRequest other(MakePayload({0x01}, kBufferKindDlSent));
  EXPECT_EQ(server_.Send(other), 0u);
  sSharedBuffer* empty = new sSharedBuffer(kBufferKindDiagSent, 0, nullptr);
  sProtocolRequest invalid(empty);
  EXPECT_EQ(server_.Send(invalid), 0u);
  empty->Release();  // never referenced: still ours to free
  // A request of the test before may still be on its way along the line
  // (under Wine it crosses a pseudo-terminal pair outside the process); none
  // of the refused ones may follow it.
  EXPECT_FALSE(module_.WaitForBytes(std::numeric_limits<size_t>::max(), 100ms));
  for (const sBurst& burst : module_.Bursts()) EXPECT_NE(burst.bytes, LineBytes{0x01});
}

TEST(ServerLifecycle, TransmitKindsFrom35AreRefused) {
  cTestServer server(35);
  ASSERT_TRUE(server.Initialize());
  sProtocolRequest request(MakePayload({0x01}, 35));
  EXPECT_EQ(server.Send(request), 0u);
}

TEST_F(ConnectedServer, ShutdownDropsEveryRequestSilentlyAndClearsTheLog) {
  Queue({0x21}, [](sProtocolRequest& r) { r.responseTimeoutMs = 10000; });
  ASSERT_TRUE(events_->WaitForCount(1, 1s));  // in flight, awaiting its response
  Queue({0x22}, [](sProtocolRequest& r) { r.delayMs = 10000; });
  Queue({0x23});
  EXPECT_EQ(events_->LiveClones(), 3);
  EXPECT_GT(server_.GetLog().GetCount(), 0u);
  EXPECT_TRUE(server_.Shutdown());
  EXPECT_EQ(events_->LiveClones(), 0);
  EXPECT_EQ(events_->Codes(), std::vector<int32_t>{eNotifySent});
  EXPECT_EQ(server_.GetLog().GetCount(), 0u);
  EXPECT_EQ(server_.GetLog().Add(sProtocolBuffer(MakePayload({0x24}))), 0);
  EXPECT_TRUE(server_.Shutdown());
}

}  // namespace
