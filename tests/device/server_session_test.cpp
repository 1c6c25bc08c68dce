// The phases' hold on a protocol server: the line a failed start prints, and
// the server shut down whichever way the session ends. A server whose worker
// still ran would refuse another Initialize, so that is what tells.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/sdl/sdl_protocol_server.h"
#include "device/server_session.h"
#include "platform/errors.h"
#include "session_support.h"
#include "tests/recording_sink.h"

namespace {

// A name no system has a port under.
const std::wstring kNoSuchPort = L"ZNTV_NO_SUCH_PORT";

TEST(ServerSession, AFailedConnectIsReportedAndTheWorkerStopped) {
  cSDLProtocolServer server;
  test_support::cRecordingSink sink;
  {
    const cServerSession session(server, ModuleAt(kNoSuchPort), L"SDL", report::cReporter(sink, report::eStage::Sdl));
    EXPECT_FALSE(session.IsConnected());
  }
  EXPECT_EQ(sink.Transcript(), "Failed to connect SDL server to ZNTV_NO_SUCH_PORT\n");
  // The failure names the step and the open's error: a port that does not
  // exist.
  const std::vector<report::sFailure> failures = sink.All<report::sFailure>();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].stage, report::eStage::Sdl);
  EXPECT_EQ(failures[0].step, L"Failed to connect SDL server to ZNTV_NO_SUCH_PORT");
  EXPECT_EQ(failures[0].error, platform::kErrorFileNotFound);
  EXPECT_TRUE(WorkerStopped(server));
}

TEST(ServerSession, AServerThatCannotStartIsReported) {
  cSDLProtocolServer server;
  ASSERT_TRUE(server.Initialize());  // a running worker makes a second start fail
  test_support::cRecordingSink sink;
  {
    const cServerSession session(server, ModuleAt(kNoSuchPort), L"DL", report::cReporter(sink, report::eStage::Dl));
    EXPECT_FALSE(session.IsConnected());
  }
  EXPECT_EQ(sink.Transcript(), "Failed to initialize DL server\n");
  EXPECT_EQ(sink.All<report::sFailure>().size(), 1u);
  EXPECT_TRUE(WorkerStopped(server));
}

}  // namespace
