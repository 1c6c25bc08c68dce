// The phases' hold on a protocol server: the line a failed start prints, and
// the server shut down whichever way the session ends. A server whose worker
// still ran would refuse another Initialize, so that is what tells.
#include <gtest/gtest.h>

#include <string>

#include "device/sdl/sdl_protocol_server.h"
#include "device/server_session.h"

namespace {

// A module found at port, as the lookup gives it at the start of a run.
host::cFollowedModule ModuleAt(const std::wstring& port) {
  return host::cFollowedModule({port, L"", L"", L"", L""}, true);
}

// A name no system has a port under.
const std::wstring kNoSuchPort = L"ZNTV_NO_SUCH_PORT";

bool WorkerStopped(cProtocolServer& server) {
  const bool stopped = server.Initialize();
  server.Shutdown();
  return stopped;
}

TEST(ServerSession, AFailedConnectIsReportedAndTheWorkerStopped) {
  cSDLProtocolServer server;
  testing::internal::CaptureStdout();
  {
    const cServerSession session(server, ModuleAt(kNoSuchPort), L"SDL");
    EXPECT_FALSE(session.IsConnected());
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to connect SDL server to ZNTV_NO_SUCH_PORT\n");
  EXPECT_TRUE(WorkerStopped(server));
}

TEST(ServerSession, AServerThatCannotStartIsReported) {
  cSDLProtocolServer server;
  ASSERT_TRUE(server.Initialize());  // a running worker makes a second start fail
  testing::internal::CaptureStdout();
  {
    const cServerSession session(server, ModuleAt(kNoSuchPort), L"DL");
    EXPECT_FALSE(session.IsConnected());
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to initialize DL server\n");
  EXPECT_TRUE(WorkerStopped(server));
}

}  // namespace
