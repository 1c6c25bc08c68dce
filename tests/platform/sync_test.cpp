// Locks and events shared between client threads and workers.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "platform/alertable.h"
#include "platform/sync.h"

namespace platform {
namespace {

TEST(Event, AutoResetOneSetReleasesOneWait) {
  cEvent event;
  ASSERT_TRUE(event.IsValid());
  EXPECT_FALSE(event.Wait(0));
  ASSERT_TRUE(event.Set());
  ASSERT_TRUE(event.Set());  // sets before a wait do not accumulate
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(30));
}

TEST(Event, SetOnAnotherThreadWakesTheWaiterAndPublishesItsWrites) {
  cEvent event;
  int payload = 0;
  std::thread setter([&] {
    payload = 42;
    event.Set();
  });
  EXPECT_TRUE(event.Wait(5000));
  EXPECT_EQ(payload, 42);
  setter.join();
}

struct sMutexHolder {
  cMutex* mutex;
  cEvent acquired;
  cEvent release;
  eAcquire result = eAcquire::Failed;
};

void HoldUntilReleased(void* p) {
  auto* h = static_cast<sMutexHolder*>(p);
  h->result = h->mutex->Acquire(1000);
  h->acquired.Set();
  h->release.Wait(kInfinite);
  h->mutex->Release();
}

void AcquireAndEnd(void* p) {
  auto* h = static_cast<sMutexHolder*>(p);
  h->result = h->mutex->Acquire(1000);  // ends still owning it
}

TEST(Mutex, SecondOwnerTimesOutUntilReleased) {
  cMutex mutex;
  ASSERT_TRUE(mutex.IsValid());
  sMutexHolder holder{&mutex, {}, {}};
  cThread thread;
  ASSERT_TRUE(thread.Start(HoldUntilReleased, &holder));
  ASSERT_TRUE(holder.acquired.Wait(5000));
  EXPECT_EQ(holder.result, eAcquire::Acquired);
  EXPECT_EQ(mutex.Acquire(50), eAcquire::TimedOut);
  holder.release.Set();
  EXPECT_EQ(mutex.Acquire(5000), eAcquire::Acquired);
  mutex.Release();
  EXPECT_TRUE(thread.Join(5000));
}

TEST(Mutex, OwnerThatEndsHoldingItLeavesItAbandoned) {
  cMutex mutex;
  sMutexHolder holder{&mutex, {}, {}};
  cThread thread;
  ASSERT_TRUE(thread.Start(AcquireAndEnd, &holder));
  ASSERT_TRUE(thread.Join(5000));
  EXPECT_EQ(holder.result, eAcquire::Acquired);
  EXPECT_EQ(mutex.Acquire(1000), eAcquire::Abandoned);
  mutex.Release();
  EXPECT_EQ(mutex.Acquire(0), eAcquire::Acquired);  // usable again
  mutex.Release();
}

TEST(CriticalSection, ExcludesConcurrentHolders) {
  cCriticalSection section(5000);
  long counter = 0;
  auto add = [&] {
    for (int i = 0; i < 20000; ++i) {
      std::lock_guard<cCriticalSection> guard(section);
      ++counter;
    }
  };
  std::thread other(add);
  add();
  other.join();
  EXPECT_EQ(counter, 40000);
}

}  // namespace
}  // namespace platform
