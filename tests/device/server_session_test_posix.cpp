// A session connected to a real pseudo-terminal: connected while it lasts,
// shut down by Shutdown or by its end, and Shutdown twice is harmless.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "device/sdl/sdl_protocol_server.h"
#include "device/server_session.h"
#include "platform/handle.h"
#include "session_support.h"
#include "tests/recording_sink.h"

namespace {

// The module's end of a pseudo-terminal; PortName() is the program's end.
class cPseudoTerminal {
 public:
  cPseudoTerminal() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master_.IsValid() && grantpt(master_.Get()) == 0 && unlockpt(master_.Get()) == 0) {
      const char* name = ptsname(master_.Get());
      if (name != nullptr) portName_.assign(name, name + std::string(name).size());
    }
  }
  const std::wstring& PortName() const { return portName_; }

 private:
  platform::cHandle master_;
  std::wstring portName_;
};

TEST(ServerSessionOnALine, ConnectsAndShutsDownWhenItEnds) {
  cPseudoTerminal line;
  ASSERT_FALSE(line.PortName().empty()) << "no pseudo-terminal";
  cSDLProtocolServer server;
  test_support::cRecordingSink sink;
  {
    const cServerSession session(server, ModuleAt(line.PortName()), L"SDL",
                                 report::cReporter(sink, report::eStage::Sdl));
    EXPECT_TRUE(session.IsConnected());
    EXPECT_FALSE(server.Initialize());  // the session's worker runs
  }
  EXPECT_TRUE(sink.Events().empty());
  EXPECT_TRUE(WorkerStopped(server));
}

TEST(ServerSessionOnALine, ShutdownEndsItEarlyAndOnlyOnce) {
  cPseudoTerminal line;
  ASSERT_FALSE(line.PortName().empty()) << "no pseudo-terminal";
  cSDLProtocolServer server;
  test_support::cRecordingSink sink;
  cServerSession session(server, ModuleAt(line.PortName()), L"DIAG", report::cReporter(sink, report::eStage::Diag));
  ASSERT_TRUE(session.IsConnected());
  session.Shutdown();
  EXPECT_FALSE(session.IsConnected());
  // The server is free for another start; the session's end must not stop it.
  ASSERT_TRUE(server.Initialize());
  session.Shutdown();
  EXPECT_FALSE(server.Initialize());
  server.Shutdown();
}

}  // namespace
