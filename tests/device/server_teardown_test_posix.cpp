// A connected protocol server destroyed without Shutdown while the module
// keeps talking: the worker, which decodes every packet and asks the server's
// own answer tests about it, must have stopped before those tests' object is
// taken apart.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "device/diag/diag_protocol_server.h"
#include "device/dl/dl_protocol_server.h"
#include "device/sdl/sdl_protocol_server.h"
#include "framing/hdlc_codec.h"
#include "test_support.h"

namespace {

// A pseudo-terminal whose master end sends one frame over and over.
class cFloodingLine {
 public:
  explicit cFloodingLine(const Bytes& payload) : frame_(EncodeHdlcFrame(payload.data(), payload.size())) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
      return;
    }
    slave_ = name;
    slaveHold_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);  // keeps the line up between servers
    sender_ = std::thread([this] { Send(); });
  }
  ~cFloodingLine() {
    stop_ = true;
    if (sender_.joinable()) sender_.join();
    for (int fd : {master_, slaveHold_}) {
      if (fd >= 0) close(fd);
    }
  }
  bool IsOpen() const { return slaveHold_ >= 0; }
  std::wstring PortName() const { return std::wstring(slave_.begin(), slave_.end()); }

 private:
  void Send() {
    while (!stop_) {
      pollfd fd{master_, POLLOUT, 0};
      if (poll(&fd, 1, 10) == 1) (void)!write(master_, frame_.data(), frame_.size());
    }
  }

  Bytes frame_;
  int master_ = -1;
  int slaveHold_ = -1;
  std::string slave_;
  std::atomic<bool> stop_{false};
  std::thread sender_;
};

template <class Server>
void DestroyConnectedWhileFlooded(const Bytes& payload) {
  cFloodingLine line(payload);
  ASSERT_TRUE(line.IsOpen());
  for (int round = 0; round < 10; ++round) {
    auto server = std::make_unique<Server>();
    ASSERT_TRUE(server->Initialize());
    ASSERT_TRUE(server->Connect(line.PortName()));
    ASSERT_GT(server->GetLog().WaitForCountAbove(0, 5000), 0u);  // the worker is decoding
    server.reset();
  }
}

TEST(ServerTeardown, DiagServerDestroyedWhileDecoding) { DestroyConnectedWhileFlooded<cDiagProtocolServer>({0x79}); }

TEST(ServerTeardown, DlServerDestroyedWhileDecoding) { DestroyConnectedWhileFlooded<cDownloadProtocolServer>({0x02}); }

TEST(ServerTeardown, SdlServerDestroyedWhileDecoding) { DestroyConnectedWhileFlooded<cSDLProtocolServer>({0x0E}); }

}  // namespace
