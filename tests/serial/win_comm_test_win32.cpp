// The serial port on Windows against a port whose far end echoes every byte
// (scripts/wine-com-test.sh echo maps a pseudo-terminal with an echo peer to a
// COM port under Wine and names it in ZNTV_TEST_COM_PORT). Without that
// variable there is no port to test and the tests fail (tests/setup_required.h).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/sync.h"
#include "port_test_support.h"
#include "tests/setup_required.h"

namespace serial_test {
namespace {

std::wstring EchoPortName() {
  const char* name = std::getenv("ZNTV_TEST_COM_PORT");
  return name == nullptr ? std::wstring() : std::wstring(name, name + std::strlen(name));
}

// Wine does not apply share modes to serial devices: any open succeeds.
bool RunsUnderWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

class EchoPort : public testing::Test {
 protected:
  void SetUp() override {
    name_ = EchoPortName();
    ZNTV_REQUIRE_SETUP(!name_.empty(), "ZNTV_TEST_COM_PORT names no echoing COM port");
    ASSERT_TRUE(a_.port.Open(name_, true)) << platform::GetLastErrorCode();
    ASSERT_TRUE(a_.port.ApplyLineSettings()) << platform::GetLastErrorCode();
    ASSERT_TRUE(a_.port.SetTimeouts(kModuleTimeouts)) << platform::GetLastErrorCode();
  }

  // Reads until `count` bytes have come back, restarting from each completion.
  std::string ReadEcho(size_t count) {
    std::string got;
    a_.rx.then = [&](uint32_t error, uint32_t bytes) {
      if (error == 0) got.append(reinterpret_cast<char*>(in_), bytes);
      if (got.size() < count) {
        EXPECT_TRUE(a_.port.Read(in_, sizeof in_)) << platform::GetLastErrorCode();
      }
    };
    RunCompletionsUntil([&] { return got.size() >= count; }, 3000);
    return got;
  }

  std::wstring name_;
  sAttachedPort a_;
  uint8_t in_[64] = {};
};

TEST_F(EchoPort, NamesWithoutDotGetTheDevicePrefixWhichTheStoredNameLacks) {
  EXPECT_EQ(a_.port.GetPortName(), name_);
  ASSERT_TRUE(a_.port.Open(L"\\\\.\\" + name_, true));  // reopens: closes first
  EXPECT_EQ(a_.port.GetPortName(), name_);
  EXPECT_TRUE(a_.port.Close());
  EXPECT_TRUE(a_.port.Close());
  EXPECT_EQ(a_.port.GetPortName(), L"");
}

// Left out of the run under Wine (tests/CMakeLists.txt), which cannot show it.
TEST_F(EchoPort, ExclusiveOpenIsRefusedWhileHeld) {
  ZNTV_REQUIRE_SETUP(!RunsUnderWine(), "Wine ignores share modes of serial devices");
  sAttachedPort b;
  EXPECT_FALSE(b.port.Open(name_, true));
  EXPECT_EQ(b.port.GetPortName(), L"");
  ASSERT_TRUE(a_.port.Close());
  EXPECT_TRUE(b.port.Open(name_, true));
}

TEST_F(EchoPort, ReadAndWriteInFlightTogetherAndTheEchoComesBack) {
  const uint8_t out[] = {'h', 'e', 'l', 'l', 'o'};
  ASSERT_TRUE(a_.port.Read(in_, sizeof in_));
  ASSERT_TRUE(a_.port.Write(out, sizeof out));
  EXPECT_FALSE(a_.port.Read(in_, sizeof in_));
  EXPECT_FALSE(a_.port.Write(out, sizeof out));
  EXPECT_EQ(ReadEcho(5), "hello");
  ASSERT_EQ(a_.tx.completions.size(), 1u);
  EXPECT_EQ(a_.tx.completions[0], (sCompletion{0, 5}));
}

TEST_F(EchoPort, TheReadIntervalCompletesAShortReadWithoutFillingTheBuffer) {
  const uint8_t out[] = {0x7E};
  ASSERT_TRUE(a_.port.Read(in_, sizeof in_));
  ASSERT_TRUE(a_.port.Write(out, sizeof out));
  ASSERT_TRUE(RunCompletionsUntil([&] { return !a_.rx.completions.empty(); }, 3000));
  EXPECT_EQ(a_.rx.completions[0], (sCompletion{0, 1}));
  EXPECT_EQ(in_[0], 0x7E);
}

TEST_F(EchoPort, CancelledAndClosedTransfersReachNoCallback) {
  ASSERT_TRUE(a_.port.Read(in_, sizeof in_));
  ASSERT_TRUE(a_.port.CancelIo());
  ASSERT_TRUE(a_.port.Close());
  EXPECT_EQ(platform::WaitAlertable({}, 100).wake, platform::eWake::IoCompletion);  // the dropped routine
  EXPECT_EQ(platform::WaitAlertable({}, 50).wake, platform::eWake::Timeout);
  EXPECT_TRUE(a_.rx.completions.empty());
}

// A read started by another thread that is still alive (and not waiting
// alertably) stays with the system after Close: its record is not free for
// this thread, however the threads' ids compare, until the owner reports the
// starting thread gone. Windows hands an ended thread's id to the next one,
// so an id says nothing about whether the starter is still there.
TEST_F(EchoPort, AnotherThreadsTransfersAreFreeOnlyOnceItIsReportedGone) {
  platform::cEvent started;
  platform::cEvent release;
  bool readStarted = false;
  std::thread starter([&] {
    readStarted = a_.port.Read(in_, sizeof in_);
    started.Set();
    release.Wait(platform::kInfinite);  // not alertable: the read's routine never runs here
  });
  ASSERT_TRUE(started.Wait(5000));
  ASSERT_TRUE(readStarted);
  ASSERT_TRUE(a_.port.Close());
  EXPECT_FALSE(a_.port.AwaitCancelledTransfers(200));
  EXPECT_FALSE(a_.port.Open(name_, true) && a_.port.Read(in_, sizeof in_));
  release.Set();
  starter.join();
  a_.port.ForgetTransfersOfEndedThread();
  EXPECT_TRUE(a_.port.AwaitCancelledTransfers(200));
  ASSERT_TRUE(a_.port.Open(name_, true));
  ASSERT_TRUE(a_.port.ApplyLineSettings());
  ASSERT_TRUE(a_.port.SetTimeouts(kModuleTimeouts));
  const uint8_t out[] = {'o', 'k'};
  ASSERT_TRUE(a_.port.Read(in_, sizeof in_));
  ASSERT_TRUE(a_.port.Write(out, sizeof out));
  EXPECT_EQ(ReadEcho(2), "ok");
}

TEST_F(EchoPort, ControlCallsWorkOnTheOpenPort) {
  EXPECT_TRUE(a_.port.ClearErrors());
  EXPECT_TRUE(a_.port.PurgeTransmit());
  EXPECT_TRUE(a_.port.CancelIo());
}

}  // namespace
}  // namespace serial_test
