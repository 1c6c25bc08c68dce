// A server destroyed while its worker is held in a call that ignores the
// interrupt, as a driver gone bad may hold it: the destruction ends within
// its bounds, and whatever the worker does once the call returns 3 s later,
// it never touches a destroyed server. Held in a port call, it ends there;
// held anywhere else, deleting the server leaves the server to it, and the
// worker closes the port and frees the server as it leaves. A shutdown that
// does not get the server's mutex from a client stops the worker all the
// same, without racing the client.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/alertable.h"
#include "server_fixture.h"

namespace {

// A call that only a byte written to its pipe ends: an interrupt breaks it
// off, and it enters it again at once.
class cCallHold {
 public:
  cCallHold() { ok_ = pipe2(fds_, O_CLOEXEC) == 0; }
  ~cCallHold() {
    if (!ok_) return;
    close(fds_[0]);
    close(fds_[1]);
  }
  bool IsReady() const { return ok_; }
  void Hold() const {
    char byte;
    while (read(fds_[0], &byte, 1) < 0 && errno == EINTR) {
    }
  }
  void Release() const { (void)!write(fds_[1], "x", 1); }

 private:
  int fds_[2] = {-1, -1};
  bool ok_ = false;
};

// What became of the held worker, told from outside every server: whether
// it came back into a server already destroyed, and when its thread ended.
struct sWorkerFate {
  std::mutex lock;
  std::condition_variable changed;
  bool held = false;
  bool threadEnded = false;
  bool touchedDestroyedServer = false;
  bool usedMemberAfterRelease = false;
  int liveServers = 0;

  // Notifies under the lock: the waiter may be the program's end, which
  // destroys this record as soon as it sees the flag.
  void Set(bool sWorkerFate::*flag) {
    std::lock_guard guard(lock);
    this->*flag = true;
    changed.notify_all();
  }
  bool WaitFor(bool sWorkerFate::*flag, std::chrono::milliseconds timeout) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, timeout, [&] { return this->*flag; });
  }
};

sWorkerFate gFate;

// Tells gFate when the thread it belongs to ends, however it ends.
struct sThreadEndSignal {
  ~sThreadEndSignal() { gFate.Set(&sWorkerFate::threadEnded); }
};

enum class eHoldIn { PortCall, Decoding };

// A test server whose decoding fills a member of its own, and whose first
// decode holds the worker in a call first.
class cHeldServer final : public cTestServer {
 public:
  cHeldServer(const cCallHold& hold, eHoldIn where) : hold_(hold), where_(where) {
    seen_.reserve(1024);
    std::lock_guard guard(gFate.lock);
    ++gFate.liveServers;
  }
  ~cHeldServer() override {
    EndWorker();
    std::lock_guard guard(gFate.lock);
    --gFate.liveServers;
  }

 protected:
  bool DecodeReceived(uint32_t count, int32_t& logIndex, bool& abort) override {
    if (!heldOnce_) {
      heldOnce_ = true;
      HoldWorker();
      {
        std::lock_guard guard(gFate.lock);
        if (gFate.liveServers == 0) gFate.touchedDestroyedServer = true;
        gFate.usedMemberAfterRelease = true;
      }
    }
    seen_.insert(seen_.end(), GetReceiveBuffer(), GetReceiveBuffer() + count);
    return cTestServer::DecodeReceived(count, logIndex, abort);
  }

 private:
  void HoldWorker() {
    thread_local sThreadEndSignal endSignal;
    (void)endSignal;
    gFate.Set(&sWorkerFate::held);
    // Inside the port call nothing of the server is read, as in a real one.
    const cCallHold& hold = hold_;
    if (where_ == eHoldIn::PortCall) {
      platform::InPortCall([&hold] {
        hold.Hold();
        return 0;
      });
    } else {
      hold.Hold();
    }
  }

  const cCallHold& hold_;
  const eHoldIn where_;
  bool heldOnce_ = false;
  std::vector<uint8_t> seen_;
};

class HeldWorker : public ::testing::Test {
 protected:
  void SetUp() override {
    ZNTV_REQUIRE_SETUP(module_.IsReady(), kNoLine);
    ASSERT_TRUE(hold_.IsReady());
    gFate.held = gFate.threadEnded = gFate.touchedDestroyedServer = gFate.usedMemberAfterRelease = false;
  }
  // Connects a held server and has the module talk until the worker is held.
  std::unique_ptr<cHeldServer> HeldServer(eHoldIn where) {
    auto server = std::make_unique<cHeldServer>(hold_, where);
    EXPECT_TRUE(server->Initialize());
    EXPECT_TRUE(server->Connect(module_.PortName()));
    EXPECT_TRUE(module_.Send({0x41}));
    EXPECT_TRUE(gFate.WaitFor(&sWorkerFate::held, 5s));
    return server;
  }

  // Destroys server, the held call returning `after` the destruction began;
  // how long the destruction took.
  std::chrono::milliseconds DestroyAndRelease(std::unique_ptr<cHeldServer> server, std::chrono::seconds after) {
    const auto start = Clock::now();
    std::thread releaser([&] {
      std::this_thread::sleep_until(start + after);
      hold_.Release();
    });
    server.reset();
    const auto took = Between(start, Clock::now());
    releaser.join();
    return took;
  }

  cFakeModule module_;
  cCallHold hold_;
};

// The two bounded stops of the destruction: Shutdown's, then one more.
constexpr auto kBothStops = 2 * std::chrono::milliseconds(kWorkerEndGraceMs);

TEST_F(HeldWorker, HeldInAPortCallItEndsThereWithoutComingBackIntoTheServer) {
  EXPECT_LT(DestroyAndRelease(HeldServer(eHoldIn::PortCall), 3s), kBothStops + 1s);
  EXPECT_TRUE(gFate.WaitFor(&sWorkerFate::threadEnded, 5s));
  std::lock_guard guard(gFate.lock);
  EXPECT_FALSE(gFate.touchedDestroyedServer);
  EXPECT_FALSE(gFate.usedMemberAfterRelease);
}

// Released only after both bounded stops, so that the worker is still held
// when the destruction gives up on it.
TEST_F(HeldWorker, HeldElsewhereItKeepsTheWholeServerWhenDeleted) {
  std::atomic<int> liveAfterDelete{-1};
  auto server = HeldServer(eHoldIn::Decoding);
  std::thread observer([&] {
    std::this_thread::sleep_for(kBothStops + 500ms);
    std::lock_guard guard(gFate.lock);
    liveAfterDelete = gFate.liveServers;
  });
  EXPECT_LT(DestroyAndRelease(std::move(server), 5s), kBothStops + 1s);
  observer.join();
  EXPECT_EQ(liveAfterDelete.load(), 1);  // kept for its worker, not destroyed
  // Back from the call, it decodes into the kept server and leaves its loop.
  EXPECT_TRUE(gFate.WaitFor(&sWorkerFate::threadEnded, 5s));
  std::lock_guard guard(gFate.lock);
  EXPECT_TRUE(gFate.usedMemberAfterRelease);
  EXPECT_FALSE(gFate.touchedDestroyedServer);
}

// The kept server's port is closed as its worker leaves: the line can be
// opened again, and the server is gone.
TEST_F(HeldWorker, AKeptServersWorkerClosesThePortAndFreesTheServerAsItLeaves) {
  EXPECT_LT(DestroyAndRelease(HeldServer(eHoldIn::Decoding), 5s), kBothStops + 1s);
  EXPECT_TRUE(gFate.WaitFor(&sWorkerFate::threadEnded, 5s));
  {
    std::lock_guard guard(gFate.lock);
    EXPECT_EQ(gFate.liveServers, 0);
  }
  cTestServer next;
  ASSERT_TRUE(next.Initialize());
  const platform::sStatus connected = next.Connect(module_.PortName());
  EXPECT_TRUE(connected) << "system error " << connected.code;
}

// Two clients hold the server's mutex for a whole command wait (10 s) each,
// one after the other, their commands never run (the worker is held in a
// port call), while the main thread shuts the server down: the second
// client waits for the mutex before the main thread does, so it takes the
// mutex from the first and the shutdown's wait runs out. The shutdown stops
// the worker all the same, and the second client's command is refused.
// Under the thread sanitizer: no race between the stop and the client.
TEST_F(HeldWorker, AShutdownThatDoesNotGetTheMutexStopsTheWorkerWithoutRacingTheClient) {
  auto server = HeldServer(eHoldIn::PortCall);
  std::atomic<int> refusedSends{0};
  auto sendOnce = [&] {
    if (server->Send(sProtocolRequest(MakePayload({0x01}))) == 0) ++refusedSends;
  };
  std::thread first(sendOnce);
  std::this_thread::sleep_for(500ms);  // the first holds the mutex by then
  std::thread second(sendOnce);
  std::this_thread::sleep_for(500ms);  // the second waits for it by then
  const auto start = Clock::now();
  EXPECT_FALSE(server->Shutdown());  // the mutex was not obtained
  EXPECT_LT(Between(start, Clock::now()),
            std::chrono::milliseconds(kServerMutexWaitMs) + 2 * std::chrono::milliseconds(kWorkerEndGraceMs));
  first.join();
  second.join();
  EXPECT_EQ(refusedSends.load(), 2);
  EXPECT_EQ(server->Send(sProtocolRequest(MakePayload({0x02}))), 0u);  // no worker
  hold_.Release();
  EXPECT_TRUE(gFate.WaitFor(&sWorkerFate::threadEnded, 5s));
  server.reset();
  std::lock_guard guard(gFate.lock);
  EXPECT_FALSE(gFate.touchedDestroyedServer);
  EXPECT_FALSE(gFate.usedMemberAfterRelease);
}

}  // namespace
