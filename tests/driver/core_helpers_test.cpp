// The adapter's count of requests in progress and the drains before stop and remove, the
// owner-tracked spin lock, and freeing pool blocks held in record fields.
//
// The adapter is a plugged one. Its power handler is not written yet, so a power request's
// count is taken and released from application tasks; the stop scenarios play the stop
// handler's part around the drain the same way, the last one removes the adapter through the
// plug-and-play manager.
#include "command_test_support.h"
#include "core/helpers.h"
#include "simkernel/race_detector.h"

namespace {

class PendingIoTest : public command_test::CommandChannelTest {
 protected:
  void SetUp() override {
    CommandChannelTest::SetUp();
    if (HasFatalFailure()) return;
    adapter_ = adapter();
  }
  LONG Count() const { return adapter_->PendingIoCount; }
  LONG NoPendingSignalled() { return KeReadStateEvent(&adapter_->NoPendingIoEvent); }
  AdapterExtension* adapter_ = nullptr;
};

TEST_F(PendingIoTest, EventFollowsTheCountBetweenIdleAndBusy) {
  h().RunTask("requests", [&] {
    PendingIoIncrement(adapter_);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(NoPendingSignalled(), 0);
    PendingIoIncrement(adapter_);
    PendingIoDecrement(adapter_);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(NoPendingSignalled(), 0);
    PendingIoDecrement(adapter_);
    EXPECT_EQ(Count(), 1);
    EXPECT_NE(NoPendingSignalled(), 0);
    EXPECT_EQ(KeReadStateEvent(&adapter_->RemoveEvent), 0);
  });
}

TEST_F(PendingIoTest, StopOfAnIdleAdapterDoesNotWait) {
  const sim::VirtualTime start = h().machine().Now();
  LONG heldDuringStop = 0;
  h().RunTask("stop", [&] {
    PendingIoIncrement(adapter_);  // the stop request's own count
    AdapterDrainBeforeStop(adapter_);
    heldDuringStop = Count();
    PendingIoDecrement(adapter_);  // the stop request's normal exit
  });
  EXPECT_EQ(heldDuringStop, 2);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(h().machine().Now(), start);
}

TEST_F(PendingIoTest, StopWaitsForAPowerRequestStillInItsCompletionPath) {
  h().RunTask("power dispatch", [&] { PendingIoIncrement(adapter_); });

  bool stopDrained = false;
  h().Spawn("stop", [&] {
    PendingIoIncrement(adapter_);
    AdapterDrainBeforeStop(adapter_);
    stopDrained = true;
    PendingIoDecrement(adapter_);
  });
  h().Advance(10 * sim::kSecond);
  EXPECT_FALSE(stopDrained);
  EXPECT_EQ(Count(), 2);  // the power request's count and the bias

  h().RunTask("power completion", [&] { PendingIoDecrement(adapter_); });
  ASSERT_TRUE(h().RunUntil([&] { return stopDrained; }));
  h().RunUntilIdle();
  EXPECT_EQ(Count(), 1);
}

TEST_F(PendingIoTest, RemoveOfAnIdleAdapterReturnsAtOnce) {
  const sim::VirtualTime start = h().machine().Now();
  bool drained = false;
  LONG afterDrain = -1;
  h().RunTask("remove", [&] {
    PendingIoIncrement(adapter_);  // the remove request's own count
    AdapterDrainBeforeRemove(adapter_);
    drained = true;
    afterDrain = Count();
    // The bias back, as the record was: the adapter's real removal at teardown drains again.
    PendingIoIncrement(adapter_);
  });
  EXPECT_TRUE(drained);
  EXPECT_EQ(afterDrain, 0);
  EXPECT_EQ(h().machine().Now(), start);
}

// The manager's REMOVE waits in the drain for a power request still in its completion path.
TEST_F(PendingIoTest, RemoveWaitsUntilTheLastRequestReleasesItsCount) {
  AdapterExtension* a = adapter_;
  h().RunTask("power dispatch", [&] { PendingIoIncrement(a); });
  ULONG stateAtRelease = 0;
  LONG countAtRelease = -1;
  bool presentAtRelease = false;
  h().Spawn("power completion", [&] {
    command_test::Delay(10 * sim::kSecond);
    {
      sim::race::Unobserved unobserved;  // the test's look at the removal under way
      stateAtRelease = a->DevicePnpState;
      countAtRelease = a->PendingIoCount;
      presentAtRelease = AdapterTable[a->AdapterIndex] == a;
    }
    PendingIoDecrement(a);
  });
  fixture().StopAndRemove();
  EXPECT_EQ(stateAtRelease, ULONG(Deleted)) << "the removal had not reached its drain";
  EXPECT_EQ(countAtRelease, 1);  // the power request alone: the bias is gone
  EXPECT_TRUE(presentAtRelease) << "the adapter went before the request released its count";
  EXPECT_EQ(fixture().adapter(), nullptr);
}

class OwnedSpinLockTest : public DriverTest {
 protected:
  OwnedSpinLock lock_;
};

TEST_F(OwnedSpinLockTest, OwnersSecondAcquireIsANoOpAndOneReleaseFreesTheLock) {
  PKTHREAD ownerSeen = nullptr;
  KIRQL heldAt = PASSIVE_LEVEL, afterSecondAcquire = PASSIVE_LEVEL, afterRelease = DISPATCH_LEVEL;
  h().RunTask("owner", [&] {
    InitializeOwnedSpinLock(&lock_);
    AcquireOwnedSpinLock(&lock_);
    heldAt = KeGetCurrentIrql();
    ownerSeen = lock_.Owner;
    EXPECT_EQ(ownerSeen, KeGetCurrentThread());
    AcquireOwnedSpinLock(&lock_);  // would spin forever on a plain spin lock
    afterSecondAcquire = KeGetCurrentIrql();
    ReleaseOwnedSpinLock(&lock_);
    afterRelease = KeGetCurrentIrql();
  });
  EXPECT_EQ(heldAt, DISPATCH_LEVEL);
  EXPECT_EQ(afterSecondAcquire, DISPATCH_LEVEL);
  EXPECT_EQ(afterRelease, PASSIVE_LEVEL);
  EXPECT_EQ(lock_.Owner, nullptr);

  // Free for anyone now.
  bool otherGotIt = false;
  h().RunTask("other", [&] {
    AcquireOwnedSpinLock(&lock_);
    otherGotIt = lock_.Owner == KeGetCurrentThread();
    ReleaseOwnedSpinLock(&lock_);
  });
  EXPECT_TRUE(otherGotIt);
}

TEST_F(OwnedSpinLockTest, ReleaseRestoresTheIrqlOfTheAcquire) {
  KIRQL afterRelease = PASSIVE_LEVEL;
  h().RunTask("dpc-level caller", [&] {
    InitializeOwnedSpinLock(&lock_);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    AcquireOwnedSpinLock(&lock_);
    ReleaseOwnedSpinLock(&lock_);
    afterRelease = KeGetCurrentIrql();
    KeLowerIrql(old);
  });
  EXPECT_EQ(afterRelease, DISPATCH_LEVEL);
}

// Two threads fighting over the lock never overlap inside it, and neither mistakes the other's
// ownership for its own.
TEST_F(OwnedSpinLockTest, ContendingTasksTakeTurns) {
  h().RunTask("init", [&] { InitializeOwnedSpinLock(&lock_); });
  constexpr int kRounds = 50;
  int inside = 0, overlaps = 0, counter = 0;
  LONG finished = 0;
  auto worker = [&] {
    for (int round = 0; round < kRounds; ++round) {
      AcquireOwnedSpinLock(&lock_);
      if (++inside != 1) ++overlaps;
      int seen = counter;
      sim::Machine::Current().Point("inside the lock");
      counter = seen + 1;
      --inside;
      ReleaseOwnedSpinLock(&lock_);
    }
    InterlockedIncrement(&finished);
  };
  h().Spawn("first", worker);
  h().Spawn("second", worker);
  ASSERT_TRUE(h().RunUntil([&] { return finished == 2; }));
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(counter, 2 * kRounds);
  EXPECT_EQ(lock_.Owner, nullptr);
}

class FreePoolAndClearTest : public DriverTest {};

TEST_F(FreePoolAndClearTest, NullFieldIsLeftAlone) {
  const sim::pool::Statistics before = sim::pool::Stats();
  PUCHAR field = nullptr;
  h().RunTask("free", [&] { FreePoolAndClear(&field); });
  EXPECT_EQ(field, nullptr);
  EXPECT_EQ(sim::pool::Stats().frees, before.frees);
}

TEST_F(FreePoolAndClearTest, SecondCallOnTheSameFieldFreesNothing) {
  PortWorkItem* item = nullptr;
  UNICODE_STRING name{};
  const sim::pool::Statistics before = sim::pool::Stats();
  h().RunTask("free twice", [&] {
    item = static_cast<PortWorkItem*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PortWorkItem), TAG_BR41));
    name.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 16, TAG_BR08));
    name.MaximumLength = 16;
    FreePoolAndClear(&item);
    FreePoolAndClear(&item);
    FreePoolAndClear(&name.Buffer);
    FreePoolAndClear(&name.Buffer);
  });
  EXPECT_EQ(item, nullptr);
  EXPECT_EQ(name.Buffer, nullptr);
  EXPECT_EQ(sim::pool::Stats().frees - before.frees, 2u);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR41), 0u);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR08), 0u);
}

}  // namespace
