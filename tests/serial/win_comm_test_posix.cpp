// The serial port over a real pseudo-terminal: the test plays the module on
// the master side.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/handle.h"
#include "port_test_support.h"
#include "tests/pseudo_terminal_posix.h"

namespace serial_test {
namespace {

using platform::cHandle;

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

class PtyPort : public testing::Test {
 protected:
  void SetUp() override {
    master_ = test_support::OpenPseudoTerminal(path_);
    ASSERT_TRUE(master_.IsValid());
    ASSERT_TRUE(a_.port.Open(Wide(path_), true));
    ASSERT_TRUE(a_.port.ApplyLineSettings());
    ASSERT_TRUE(a_.port.SetTimeouts(kModuleTimeouts));
  }

  void PeerWrite(const std::string& bytes) {
    ASSERT_EQ(write(master_.Get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Reads what the port sent, waiting up to a second for the first byte.
  std::string PeerRead(size_t count) {
    std::string got;
    pollfd fd{master_.Get(), POLLIN, 0};
    while (got.size() < count && poll(&fd, 1, 1000) == 1) {
      char chunk[256];
      const ssize_t n = read(master_.Get(), chunk, std::min(sizeof chunk, count - got.size()));
      if (n <= 0) break;
      got.append(chunk, static_cast<size_t>(n));
    }
    return got;
  }

  bool WaitForRx(size_t n, uint32_t ms = 2000) {
    return RunCompletionsUntil([&] { return a_.rx.completions.size() >= n; }, ms);
  }
  bool WaitForTx(size_t n, uint32_t ms = 2000) {
    return RunCompletionsUntil([&] { return a_.tx.completions.size() >= n; }, ms);
  }

  cHandle master_;
  std::string path_;
  sAttachedPort a_;
};

TEST_F(PtyPort, EachBurstCompletesOneReadOnTheIntervalGap) {
  uint8_t buffer[64] = {};
  std::vector<std::string> bursts;
  a_.rx.then = [&](uint32_t, uint32_t bytes) {
    bursts.emplace_back(reinterpret_cast<char*>(buffer), bytes);
    EXPECT_TRUE(a_.port.Read(buffer, sizeof buffer));  // restart from inside the completion
  };
  ASSERT_TRUE(a_.port.Read(buffer, sizeof buffer));
  std::thread peer([&] {
    PeerWrite("\x7e\x01\x02");
    std::this_thread::sleep_for(std::chrono::milliseconds(40));  // a gap far above 2 ms
    PeerWrite("\x7e\x03");
  });
  ASSERT_TRUE(WaitForRx(2));
  peer.join();
  EXPECT_EQ(a_.rx.completions, (std::vector<sCompletion>{{0, 3}, {0, 2}}));
  EXPECT_EQ(bursts, (std::vector<std::string>{"\x7e\x01\x02", "\x7e\x03"}));
}

// A line another process keeps open (the module's end here) keeps what it
// received; the next open starts empty, as after a real tty's last close.
TEST_F(PtyPort, BytesThatArrivedBeforeTheOpenAreNotRead) {
  ASSERT_TRUE(a_.port.Close());
  PeerWrite("\x7e\x02\x6a\xd3\x7e");  // an answer nobody read
  ASSERT_TRUE(a_.port.Open(Wide(path_), true));
  ASSERT_TRUE(a_.port.SetTimeouts(kModuleTimeouts));
  uint8_t buffer[16] = {};
  ASSERT_TRUE(a_.port.Read(buffer, sizeof buffer));
  PeerWrite("\x7e\x03");
  ASSERT_TRUE(WaitForRx(1));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), a_.rx.completions[0].bytes), "\x7e\x03");
}

TEST_F(PtyPort, AFullBufferCompletesTheReadAtOnceAndTheRestFollows) {
  uint8_t buffer[8] = {};
  ASSERT_TRUE(a_.port.Read(buffer, 4));
  PeerWrite("abcdefgh");
  ASSERT_TRUE(WaitForRx(1));
  EXPECT_EQ(a_.rx.completions[0], (sCompletion{0, 4}));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "abcd");
  ASSERT_TRUE(a_.port.Read(buffer, sizeof buffer));
  ASSERT_TRUE(WaitForRx(2));
  EXPECT_EQ(a_.rx.completions[1], (sCompletion{0, 4}));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "efgh");
}

// With a long read interval, a read that ends early can only have ended on
// the named character.
TEST_F(PtyPort, ANamedEventCharacterEndsAReadOnlyWhenItIsTheLastByteWaiting) {
  constexpr uint32_t kLongIntervalMs = 1000;
  ASSERT_TRUE(a_.port.SetTimeouts({kLongIntervalMs, 0, 0, 1000, 1}));
  ASSERT_TRUE(a_.port.SetEventCharacter(0x7E));
  uint8_t in[64] = {};
  const auto readThen = [&](const std::string& bytes) {
    a_.rx.completions.clear();
    EXPECT_TRUE(a_.port.Read(in, sizeof in));
    PeerWrite(bytes);
    const uint32_t start = platform::GetTickCount32();
    EXPECT_TRUE(WaitForRx(1, 3 * kLongIntervalMs));
    return platform::GetTickCount32() - start;
  };

  // A whole frame: done at once, long before the interval.
  EXPECT_LT(readThen("\x7e\x01\x02\x7e"), kLongIntervalMs / 2);
  EXPECT_EQ(a_.rx.completions, (std::vector<sCompletion>{{0, 4}}));

  // The character inside the bytes, with more after it: the interval ends it.
  EXPECT_GE(readThen(std::string("\x7e\x03\x7e\x7e\x04", 5)), kLongIntervalMs * 9 / 10);
  EXPECT_EQ(a_.rx.completions, (std::vector<sCompletion>{{0, 5}}));

  // A frame that arrives in two pieces: the first piece waits, the second
  // one's closing flag ends the read with both.
  a_.rx.completions.clear();
  ASSERT_TRUE(a_.port.Read(in, sizeof in));
  PeerWrite("\x7e\x05");
  EXPECT_FALSE(WaitForRx(1, kLongIntervalMs / 4));
  PeerWrite("\x06\x7e");
  ASSERT_TRUE(WaitForRx(1, kLongIntervalMs / 2));
  EXPECT_EQ(a_.rx.completions, (std::vector<sCompletion>{{0, 4}}));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(in), 4), "\x7e\x05\x06\x7e");
}

TEST_F(PtyPort, WithoutANamedEventCharacterAReadEndsOnTheIntervalOnly) {
  constexpr uint32_t kLongIntervalMs = 600;
  // A character named before the port was opened again is forgotten.
  ASSERT_TRUE(a_.port.SetEventCharacter(0x7E));
  ASSERT_TRUE(a_.port.Open(Wide(path_), true));
  ASSERT_TRUE(a_.port.SetTimeouts({kLongIntervalMs, 0, 0, 1000, 1}));
  uint8_t in[64] = {};
  ASSERT_TRUE(a_.port.Read(in, sizeof in));
  const uint32_t start = platform::GetTickCount32();
  PeerWrite("\x7e\x01\x02\x7e");
  ASSERT_TRUE(WaitForRx(1, 3 * kLongIntervalMs));
  EXPECT_GE(platform::GetTickCount32() - start, kLongIntervalMs * 9 / 10);
  EXPECT_EQ(a_.rx.completions, (std::vector<sCompletion>{{0, 4}}));
}

TEST_F(PtyPort, OneReadAndOneWriteInFlightTogetherAndNoSecondOfEither) {
  uint8_t in[16] = {};
  const uint8_t out[] = {'p', 'i', 'n', 'g'};
  ASSERT_TRUE(a_.port.Read(in, sizeof in));
  ASSERT_TRUE(a_.port.Write(out, sizeof out));
  EXPECT_FALSE(a_.port.Read(in, sizeof in));
  EXPECT_FALSE(a_.port.Write(out, sizeof out));
  ASSERT_TRUE(WaitForTx(1));
  EXPECT_EQ(a_.tx.completions[0], (sCompletion{0, 4}));
  EXPECT_EQ(PeerRead(4), "ping");
  EXPECT_TRUE(a_.rx.completions.empty());  // the read waits for its first byte
  PeerWrite("pong");
  ASSERT_TRUE(WaitForRx(1));
  EXPECT_EQ(a_.rx.completions[0], (sCompletion{0, 4}));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(in), 4), "pong");
}

TEST_F(PtyPort, ExclusiveOpenIsRefusedWhileHeldAndGrantedAfterClose) {
  sAttachedPort b;
  EXPECT_FALSE(b.port.Open(Wide(path_), true));
  EXPECT_FALSE(b.port.IsOpen());
  EXPECT_EQ(b.port.GetPortName(), L"");
  EXPECT_TRUE(a_.port.Close());
  EXPECT_TRUE(b.port.Open(Wide(path_), true));
  EXPECT_EQ(b.port.GetPortName(), Wide(path_));
}

// A modem manager often takes a line with TIOCEXCL alone, which the kernel
// does not hold against root: the port must refuse to share it all the same,
// and leave the holder's exclusivity as it was.
TEST_F(PtyPort, ALineAnotherProgramHoldsWithTiocexclAloneIsRefusedEvenToRoot) {
  ASSERT_EQ(geteuid(), 0u) << "only root is let past another program's TIOCEXCL";
  EXPECT_TRUE(a_.port.Close());
  const cHandle holder(open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(holder.IsValid());
  ASSERT_EQ(ioctl(holder.Get(), TIOCEXCL), 0);
  {
    sAttachedPort b;
    EXPECT_FALSE(b.port.Open(Wide(path_), true));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorBusy);
    EXPECT_FALSE(b.port.IsOpen());
  }
  int exclusive = 0;
  ASSERT_EQ(ioctl(holder.Get(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
}

TEST_F(PtyPort, ClosingClearsTheExclusivityItSet) {
  EXPECT_TRUE(a_.port.Close());
  const cHandle other(open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(other.IsValid());
  int exclusive = 1;
  ASSERT_EQ(ioctl(other.Get(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

// A FIFO planted under a port's name is not opened: whoever waits on it is
// not woken.
TEST(PortNode, ANodeThatIsNoCharacterDeviceIsNotOpened) {
  char folder[] = "/tmp/zntv-port-node-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string fifo = std::string(folder) + "/ttyUSB0";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  const cHandle watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_TRUE(watch.IsValid());
  ASSERT_GE(inotify_add_watch(watch.Get(), fifo.c_str(), IN_OPEN), 0);
  sAttachedPort port;
  EXPECT_FALSE(port.port.Open(Wide(fifo), true));
  EXPECT_EQ(platform::GetLastErrorCode(), static_cast<uint32_t>(ENOTTY));
  char events[4096];
  EXPECT_EQ(read(watch.Get(), events, sizeof events), -1) << "the FIFO was opened";
  unlink(fifo.c_str());
  rmdir(folder);
}

TEST_F(PtyPort, OpenRulesForNamesCallbacksAndAnOpenPort) {
  EXPECT_EQ(a_.port.GetPortName(), Wide(path_));
  cWinComm bare;  // no callbacks attached
  EXPECT_FALSE(bare.IsReady());
  EXPECT_FALSE(bare.Open(Wide(path_), false));
  EXPECT_FALSE(a_.port.Open(L"", true));
  EXPECT_TRUE(a_.port.IsOpen());  // an empty name changes nothing
  // Opening another port closes this one first, even when that open fails.
  EXPECT_FALSE(a_.port.Open(L"/dev/zntv-no-such-port", true));
  EXPECT_FALSE(a_.port.IsOpen());
  EXPECT_EQ(a_.port.GetPortName(), L"");
  EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorFileNotFound);
  sAttachedPort b;
  EXPECT_TRUE(b.port.Open(Wide(path_), true));
}

TEST_F(PtyPort, CloseOnAClosedPortSucceedsAndControlCallsAreRefused) {
  EXPECT_TRUE(a_.port.Close());
  EXPECT_TRUE(a_.port.Close());
  EXPECT_EQ(a_.port.GetPortName(), L"");
  EXPECT_FALSE(a_.port.PurgeTransmit());
  EXPECT_FALSE(a_.port.ClearErrors());
  EXPECT_FALSE(a_.port.CancelIo());
  EXPECT_FALSE(a_.port.ApplyLineSettings());
  uint8_t buffer[4];
  EXPECT_FALSE(a_.port.Read(buffer, sizeof buffer));
}

TEST_F(PtyPort, CancelledAndClosedTransfersReachNoCallback) {
  uint8_t in[16];
  const std::string out(200000, 'w');  // more than the pty takes while the peer is idle
  ASSERT_TRUE(a_.port.Read(in, sizeof in));
  ASSERT_TRUE(a_.port.Write(reinterpret_cast<const uint8_t*>(out.data()), out.size()));
  ASSERT_TRUE(a_.port.CancelIo());
  ASSERT_TRUE(a_.port.Close());
  PeerWrite("late");
  EXPECT_EQ(platform::WaitAlertable({}, 50).wake, platform::eWake::Timeout);
  EXPECT_TRUE(a_.rx.completions.empty());
  EXPECT_TRUE(a_.tx.completions.empty());
}

TEST_F(PtyPort, CancelledTransfersLeftOpenCompleteAsAborted) {
  uint8_t in[16];
  ASSERT_TRUE(a_.port.Read(in, sizeof in));
  ASSERT_TRUE(a_.port.CancelIo());
  EXPECT_TRUE(a_.rx.completions.empty());  // completions run only in the wait
  ASSERT_TRUE(WaitForRx(1));
  EXPECT_EQ(a_.rx.completions[0], (sCompletion{platform::kErrorOperationAborted, 0}));
  EXPECT_TRUE(a_.port.Read(in, sizeof in));
}

TEST_F(PtyPort, PurgeAbortsTheWriteButNotTheRead) {
  uint8_t in[16];
  const std::string out(200000, 'w');
  ASSERT_TRUE(a_.port.Read(in, sizeof in));
  ASSERT_TRUE(a_.port.Write(reinterpret_cast<const uint8_t*>(out.data()), out.size()));
  EXPECT_EQ(platform::WaitAlertable({}, 30).wake, platform::eWake::Timeout);
  ASSERT_TRUE(a_.port.PurgeTransmit());
  ASSERT_TRUE(WaitForTx(1));
  EXPECT_EQ(a_.tx.completions[0].error, platform::kErrorOperationAborted);
  EXPECT_LT(a_.tx.completions[0].bytes, out.size());
  PeerWrite("r");
  ASSERT_TRUE(WaitForRx(1));
  EXPECT_EQ(a_.rx.completions[0], (sCompletion{0, 1}));
}

TEST_F(PtyPort, WriteTimesOutWithItsCountWhenThePeerStopsReading) {
  ASSERT_TRUE(a_.port.SetTimeouts({2, 0, 0, 0, 200}));
  const std::string out(200000, 'w');
  const uint32_t start = platform::GetTickCount32();
  ASSERT_TRUE(a_.port.Write(reinterpret_cast<const uint8_t*>(out.data()), out.size()));
  ASSERT_TRUE(WaitForTx(1, 3000));
  const uint32_t elapsed = platform::GetTickCount32() - start;
  EXPECT_GE(elapsed, 190u);
  EXPECT_LT(elapsed, 1500u);
  EXPECT_EQ(a_.tx.completions[0].error, platform::kErrorTimeout);
  EXPECT_GT(a_.tx.completions[0].bytes, 0u);
  EXPECT_LT(a_.tx.completions[0].bytes, out.size());
}

TEST_F(PtyPort, AVanishedPeerEndsTheReadWithAnErrorAndRefusesNewTransfers) {
  uint8_t in[16];
  int wakes = 0;
  a_.rx.then = [&](uint32_t, uint32_t) {
    // As the protocol server does: clear errors and restart the read.
    EXPECT_TRUE(a_.port.ClearErrors());
    EXPECT_FALSE(a_.port.Read(in, sizeof in));
  };
  ASSERT_TRUE(a_.port.Read(in, sizeof in));
  master_.Close();
  ASSERT_TRUE(WaitForRx(1));
  EXPECT_EQ(a_.rx.completions[0], (sCompletion{platform::kErrorDeviceNotConnected, 0}));
  // Nothing is left to wake the thread: each wait runs to its time-out.
  for (int i = 0; i < 3; ++i) {
    if (platform::WaitAlertable({}, 30).wake != platform::eWake::Timeout) ++wakes;
  }
  EXPECT_EQ(wakes, 0);
  const uint8_t out[] = {1};
  EXPECT_FALSE(a_.port.Write(out, sizeof out));
  EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorDeviceNotConnected);
  EXPECT_TRUE(a_.port.Close());
}

TEST_F(PtyPort, AReadStartedAfterTheHangUpEndsWithTheBytesOrAnError) {
  uint8_t in[16];
  PeerWrite("bye");
  master_.Close();
  ASSERT_TRUE(a_.port.Read(in, sizeof in));
  ASSERT_TRUE(WaitForRx(1));
  // Whether the tty still hands over bytes written before the hang-up is the
  // kernel's choice; either they arrive intact or the read fails.
  const sCompletion c = a_.rx.completions[0];
  if (c.error == 0) {
    EXPECT_EQ(std::string(reinterpret_cast<char*>(in), c.bytes), "bye");
  } else {
    EXPECT_EQ(c.error, platform::kErrorDeviceNotConnected);
  }
}

// Completions belong to the thread that started the transfer.
TEST_F(PtyPort, CompletionsRunOnlyOnTheStartingThread) {
  uint8_t in[16];
  ASSERT_TRUE(a_.port.Read(in, sizeof in));
  PeerWrite("x");
  platform::eWake otherWake = platform::eWake::Failed;
  std::thread other([&] {
    platform::PrepareAlertableThread();
    otherWake = platform::WaitAlertable({}, 50).wake;
  });
  other.join();
  EXPECT_EQ(otherWake, platform::eWake::Timeout);
  EXPECT_TRUE(a_.rx.completions.empty());
  ASSERT_TRUE(WaitForRx(1));
}

}  // namespace
}  // namespace serial_test
