// Events, timers, DPCs, work items and fast mutexes behave as documented for Windows.
#include <vector>

#include "machine_fixture.h"
#include "simkernel/race_detector.h"

namespace {

using KernelObjects = MachineTest;

TEST_F(KernelObjects, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LONG woken = 0;  // the waiters run on processors of their own
  for (int i = 0; i < 3; ++i)
    machine().Spawn("waiter" + std::to_string(i), sim::TaskKind::Application, [&] {
      EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
      InterlockedIncrement(&woken);
    });
  machine().RunFor(sim::kMillisecond);
  EXPECT_EQ(woken, 0);
  RunTask([&] { EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0); });
  machine().RunUntilIdle();
  EXPECT_EQ(woken, 3);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(KernelObjects, SynchronizationEventReleasesOneWaiterPerSignal) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  LONG woken = 0;  // the waiters run on processors of their own
  for (int i = 0; i < 2; ++i)
    machine().Spawn("waiter" + std::to_string(i), sim::TaskKind::Application, [&] {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      InterlockedIncrement(&woken);
    });
  machine().RunFor(sim::kMillisecond);
  RunTask([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
  machine().RunFor(sim::kMillisecond);
  EXPECT_EQ(woken, 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "a satisfied wait resets a synchronization event";
  RunTask([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
  machine().RunUntilIdle();
  EXPECT_EQ(woken, 2);
}

TEST_F(KernelObjects, SignalledSynchronizationEventResetsOnWaitAndZeroTimeoutPolls) {
  RunTask([] {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  });
  EXPECT_EQ(machine().Now(), 0);
}

TEST_F(KernelObjects, TimerRunsItsDpcAtTheDueTime) {
  KTIMER timer;
  KDPC dpc;
  std::vector<sim::VirtualTime> fired;
  KIRQL irqlInDpc = PASSIVE_LEVEL;
  struct Context {
    std::vector<sim::VirtualTime>* fired;
    KIRQL* irql;
  } context{&fired, &irqlInDpc};
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc,
      [](PKDPC, PVOID raw, PVOID, PVOID) {
        auto* c = static_cast<Context*>(raw);
        c->fired->push_back(sim::Machine::Current().Now());
        *c->irql = KeGetCurrentIrql();
      },
      &context);
  RunTask([&] { EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(250), &dpc)); });
  machine().RunUntilIdle();
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0], Ticks(25)) << "250 ms end on the first tick after them";
  EXPECT_EQ(irqlInDpc, DISPATCH_LEVEL);
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(KernelObjects, CancelledTimerNeverFiresAndResettingReplacesTheDueTime) {
  KTIMER timer;
  KDPC dpc;
  int fired = 0;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, [](PKDPC, PVOID c, PVOID, PVOID) { ++*static_cast<int*>(c); }, &fired);
  RunTask([&] {
    KeSetTimer(&timer, RelativeMs(100), &dpc);
    EXPECT_TRUE(KeSetTimer(&timer, RelativeMs(300), &dpc)) << "resetting a set timer reports it was set";
  });
  machine().RunFor(200 * sim::kMillisecond);
  EXPECT_EQ(fired, 0);
  RunTask([&] {
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
  });
  machine().RunUntilIdle();
  EXPECT_EQ(fired, 0);
}

TEST_F(KernelObjects, AbsoluteAndPeriodicTimers) {
  KTIMER timer;
  KDPC dpc;
  std::vector<sim::VirtualTime> fired;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeInitializeDpc(
      &dpc, [](PKDPC, PVOID c, PVOID, PVOID) {
        sim::race::Unobserved unobserved;  // each expiry may run it on another processor
        static_cast<decltype(fired)*>(c)->push_back(sim::Machine::Current().Now());
      },
      &fired);
  RunTask([&] {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER due;
    due.QuadPart = now.QuadPart + 50 * sim::kMillisecond;
    KeSetTimerEx(&timer, due, 20, &dpc);
  });
  machine().RunFor(95 * sim::kMillisecond);
  // 50 ms from boot end on tick 5; each 20 ms period then counts from the tick it fired on.
  EXPECT_EQ(fired, (std::vector<sim::VirtualTime>{Ticks(5), Ticks(7), Ticks(9)}));
  RunTask([&] { KeCancelTimer(&timer); });
}

TEST_F(KernelObjects, WaitOnATimerObject) {
  RunTask([] {
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, RelativeMs(40), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  });
  EXPECT_EQ(machine().Now(), Ticks(4));
}

TEST_F(KernelObjects, DpcQueuesOnceAndCanBeRemoved) {
  KDPC dpc;
  int runs = 0;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID c, PVOID, PVOID) { ++*static_cast<int*>(c); }, &runs);
  RunTask([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // holds DPCs queued here until the IRQL drops
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    KeLowerIrql(old);
  });
  machine().RunUntilIdle();
  EXPECT_EQ(runs, 1);
  RunTask([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeRemoveQueueDpc(&dpc);
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    KeLowerIrql(old);
  });
  machine().RunUntilIdle();
  EXPECT_EQ(runs, 1);
}

TEST_F(KernelObjects, WorkItemsRunInOrderAtPassiveLevelOnTheirQueue) {
  struct Item {
    WORK_QUEUE_ITEM work;
    int number;
    std::vector<std::pair<int, KIRQL>>* log;
  };
  std::vector<std::pair<int, KIRQL>> log;
  Item items[3];
  RunTask([&] {
    for (int i = 0; i < 3; ++i) {
      items[i].number = i;
      items[i].log = &log;
      ExInitializeWorkItem(&items[i].work,
                           [](PVOID p) {
                             auto* item = static_cast<Item*>(p);
                             item->log->push_back({item->number, KeGetCurrentIrql()});
                           },
                           &items[i]);
      ExQueueWorkItem(&items[i].work, HyperCriticalWorkQueue);
    }
  });
  machine().RunUntilIdle();
  ASSERT_EQ(log.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(log[i].first, i);
    EXPECT_EQ(log[i].second, PASSIVE_LEVEL);
  }
}

TEST_F(KernelObjects, FastMutexExcludesAndRaisesToApcLevel) {
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  int inside = 0, maxInside = 0;
  for (int i = 0; i < 3; ++i)
    machine().Spawn("user" + std::to_string(i), sim::TaskKind::Application, [&] {
      for (int round = 0; round < 3; ++round) {
        ExAcquireFastMutex(&mutex);
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
        maxInside = std::max(maxInside, ++inside);
        KeSetEvent(&mutex.Event, 0, FALSE);  // a scheduling point inside the region
        --inside;
        ExReleaseFastMutex(&mutex);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
      }
    });
  machine().RunUntilIdle();
  EXPECT_EQ(maxInside, 1);
}

TEST_F(KernelObjects, InterlockedOperationsAndCurrentThread) {
  RunTask([] {
    LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 8), 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(InterlockedExchangeAdd(&value, 4), 1);
    EXPECT_EQ(value, 5);
  });
  PKTHREAD first = nullptr, second = nullptr;
  RunTask([&] { first = KeGetCurrentThread(); });
  RunTask([&] { second = KeGetCurrentThread(); });
  EXPECT_NE(first, nullptr);
  EXPECT_NE(first, second);
}

}  // namespace
