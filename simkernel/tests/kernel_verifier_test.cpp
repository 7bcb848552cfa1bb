// Each kernel-object verifier rule fires on a deliberately wrong caller.
#include "machine_fixture.h"

namespace {

using KernelVerifier = MachineTest;

TEST_F(KernelVerifier, WaitWithTimeoutAtDispatchLevel) {
  RunTask([] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);  // allowed: a poll
    LARGE_INTEGER timeout = RelativeMs(5);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    KeLowerIrql(old);
  });
  EXPECT_EQ(TakeViolations(), std::vector<std::string>{"wait with a non-zero timeout at DISPATCH_LEVEL"});
}

TEST_F(KernelVerifier, SpinLockReleasedByATaskThatDoesNotHoldIt) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  RunTask([&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); });
  auto violations = TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0], "spin lock released by a task that does not hold it");
  EXPECT_EQ(machine().Violations().size(), 0u);
}

TEST_F(KernelVerifier, SpinLockHeldAcrossAWait) {
  RunTask([] {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    KeReleaseSpinLock(&lock, old);
  });
  auto violations = TakeViolations();
  EXPECT_NE(std::find(violations.begin(), violations.end(), "spin lock held across a wait"), violations.end());
}

TEST_F(KernelVerifier, ViolationReportNamesRuleTaskIrqlAndCall) {
  RunTask([] {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    KeReleaseSpinLock(&lock, old);
  });
  ASSERT_FALSE(machine().Violations().empty());
  std::string report = machine().Violations().back().ToString();
  EXPECT_NE(report.find("spin lock held across a wait"), std::string::npos) << report;
  EXPECT_NE(report.find("task app"), std::string::npos) << report;
  EXPECT_NE(report.find("IRQL 2"), std::string::npos) << report;
  EXPECT_NE(report.find("KeWaitForSingleObject"), std::string::npos) << report;
  TakeViolations();
}

TEST_F(KernelVerifier, PageableCodeAboveApcLevel) {
  RunTask([] {
    PAGED_CODE();  // fine at PASSIVE_LEVEL
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PAGED_CODE();
    KeLowerIrql(old);
  });
  EXPECT_EQ(TakeViolations(), std::vector<std::string>{"pageable code entered above APC_LEVEL"});
}

TEST_F(KernelVerifier, DpcReinitialisedWhileQueued) {
  KDPC dpc;
  auto routine = [](PKDPC, PVOID, PVOID, PVOID) {};
  KeInitializeDpc(&dpc, routine, nullptr);
  RunTask([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeInitializeDpc(&dpc, routine, nullptr);
    KeLowerIrql(old);
  });
  machine().RunUntilIdle();
  EXPECT_EQ(TakeViolations(), std::vector<std::string>{"DPC reinitialised while queued"});
}

TEST_F(KernelVerifier, TimerReinitialisedWhileSet) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  RunTask([&] {
    KeSetTimer(&timer, RelativeMs(10), nullptr);
    KeInitializeTimer(&timer);
  });
  machine().RunUntilIdle();
  EXPECT_EQ(TakeViolations(), std::vector<std::string>{"timer reinitialised while set"});
}

TEST_F(KernelVerifier, DpcReturningWithASpinLockHeld) {
  static KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
  RunTask([&] { KeInsertQueueDpc(&dpc, nullptr, nullptr); });
  machine().RunUntilIdle();
  EXPECT_EQ(TakeViolations(), std::vector<std::string>{"spin lock held on return from a DPC routine"});
}

TEST_F(KernelVerifier, CorrectUseReportsNothing) {
  struct Shared {
    KSPIN_LOCK lock;
    KEVENT done;
    int value = 0;
  } shared;
  KeInitializeSpinLock(&shared.lock);
  KeInitializeEvent(&shared.done, NotificationEvent, FALSE);
  KDPC dpc;
  KeInitializeDpc(
      &dpc,
      [](PKDPC, PVOID c, PVOID, PVOID) {
        auto* s = static_cast<Shared*>(c);
        KeAcquireSpinLockAtDpcLevel(&s->lock);
        ++s->value;
        KeReleaseSpinLockFromDpcLevel(&s->lock);
        KeSetEvent(&s->done, IO_NO_INCREMENT, FALSE);
      },
      &shared);
  RunTask([&] {
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KIRQL old;
    KeAcquireSpinLock(&shared.lock, &old);
    ++shared.value;
    KeReleaseSpinLock(&shared.lock, old);
    KeWaitForSingleObject(&shared.done, Executive, KernelMode, FALSE, nullptr);
  });
  machine().RunUntilIdle();
  EXPECT_EQ(shared.value, 2);
  EXPECT_TRUE(machine().Violations().empty());
}

// Two paths taking the same locks in opposite orders, one after the other: no hang in this
// run, but on two processors they would deadlock. The same locks always taken in one order,
// or a lock initialised anew at the same address, are quiet.
TEST_F(KernelVerifier, SpinLocksAcquiredInOppositeOrders) {
  KSPIN_LOCK a, b, c;
  for (PKSPIN_LOCK lock : {&a, &b, &c}) KeInitializeSpinLock(lock);
  auto nested = [](PKSPIN_LOCK outer, PKSPIN_LOCK inner) {
    KIRQL old;
    KeAcquireSpinLock(outer, &old);
    KeAcquireSpinLockAtDpcLevel(inner);
    KeReleaseSpinLockFromDpcLevel(inner);
    KeReleaseSpinLock(outer, old);
  };
  RunTask([&] { nested(&a, &b); });
  RunTask([&] { nested(&b, &c); });
  RunTask([&] { nested(&a, &c); });
  EXPECT_TRUE(TakeViolations().empty()) << "one consistent order";

  RunTask([&] { nested(&c, &a); });  // closes a -> b -> c -> a
  EXPECT_EQ(TakeViolations(), std::vector<std::string>{"spin locks acquired in opposite orders"});
  RunTask([&] { nested(&c, &a); });
  EXPECT_TRUE(TakeViolations().empty()) << "each reversal is reported once";

  KeInitializeSpinLock(&b);
  RunTask([&] { nested(&b, &a); });
  EXPECT_TRUE(TakeViolations().empty()) << "a lock initialised anew has no order yet";
}

}  // namespace
