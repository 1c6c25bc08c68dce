// What only the Linux layer decides: threads cannot be terminated, a thread
// without a reactor cannot wait alertably, and an ended thread takes no calls.
#include <gtest/gtest.h>

#include <thread>

#include "platform/alertable.h"
#include "platform/errors.h"

namespace platform {
namespace {

void Nothing(void*) {}

TEST(PosixThread, TerminateIsRefusedAndTheThreadRunsOn) {
  cEvent gate;
  cThread thread;
  ASSERT_TRUE(thread.Start([](void* p) { static_cast<cEvent*>(p)->Wait(kInfinite); }, &gate));
  EXPECT_FALSE(thread.Terminate());
  EXPECT_FALSE(thread.Join(20));
  gate.Set();
  EXPECT_TRUE(thread.Join(5000));
}

TEST(PosixThread, AnEndedThreadRefusesQueuedCalls) {
  cThread thread;
  ASSERT_TRUE(thread.Start(Nothing, nullptr));
  ASSERT_TRUE(thread.Join(5000));
  EXPECT_FALSE(thread.QueueCall(Nothing, nullptr));
}

TEST(PosixThread, AThreadWithoutReactorCannotWaitAlertably) {
  sWakeResult wake{};
  std::thread plain([&] { wake = WaitAlertable({}, 10); });
  plain.join();
  EXPECT_EQ(wake.wake, eWake::Failed);
}

}  // namespace
}  // namespace platform
