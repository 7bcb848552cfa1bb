// The deterministic scheduler and virtual clock: same seed, same run; other seeds, other
// interleavings; waits cost virtual time only; deadlocks are reported with every task.
#include <chrono>
#include <thread>
#include <set>

#include "machine_fixture.h"

namespace {

// Two tasks take turns on a spin lock; returns who got it in which order and the trace hash.
std::pair<std::string, uint64_t> ContendedRun(uint64_t seed) {
  sim::Machine machine(seed);
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  std::string order;
  for (char who : {'a', 'b'})
    machine.Spawn(std::string(1, who), sim::TaskKind::Application, [&, who] {
      for (int i = 0; i < 6; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        order += who;
        KeReleaseSpinLock(&lock, old);
      }
    });
  machine.RunUntilIdle();
  EXPECT_TRUE(machine.Violations().empty());
  return {order, machine.TraceHash()};
}

TEST(Scheduler, SameSeedGivesTheSameRun) {
  auto first = ContendedRun(42);
  auto second = ContendedRun(42);
  EXPECT_EQ(first.first, second.first);
  EXPECT_EQ(first.second, second.second);
  EXPECT_EQ(first.first.size(), 12u);
}

TEST(Scheduler, OtherSeedsInterleaveContendersDifferently) {
  std::set<std::string> orders;
  for (uint64_t seed = 1; seed <= 20; ++seed) orders.insert(ContendedRun(seed).first);
  EXPECT_GE(orders.size(), 5u) << "spin lock contention explored too few interleavings";
}

TEST_F(MachineTest, OneSecondWaitCostsNoWallClockTime) {
  auto start = std::chrono::steady_clock::now();
  NTSTATUS status = STATUS_SUCCESS;
  RunTask([&] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = RelativeMs(1000);
    status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
  });
  auto wall = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(status, STATUS_TIMEOUT);
  EXPECT_EQ(machine().Now(), Ticks(100));
  EXPECT_LT(wall, std::chrono::milliseconds(200));
}

TEST_F(MachineTest, RealTimeModePacesTheClock) {
  machine().SetRealTime(true);
  auto start = std::chrono::steady_clock::now();
  RunTask([] {
    LARGE_INTEGER delay = RelativeMs(60);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  });
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));
  EXPECT_EQ(machine().Now(), Ticks(6));
}

// Time lost to slow work is made up, not added: the clock keeps to the wall clock it started on.
TEST_F(MachineTest, RealTimeModeCatchesUpAfterSlowWork) {
  machine().SetRealTime(true);
  auto start = std::chrono::steady_clock::now();
  RunTask([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    LARGE_INTEGER delay = RelativeMs(60);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  });
  auto wall = std::chrono::steady_clock::now() - start;
  EXPECT_GE(wall, std::chrono::milliseconds(55));
  EXPECT_LT(wall, std::chrono::milliseconds(95));
  EXPECT_EQ(machine().Now(), Ticks(6));
}

TEST_F(MachineTest, DeadlockNamesEveryBlockedTaskAndWhatItWaitsFor) {
  KEVENT never1, never2;
  KeInitializeEvent(&never1, NotificationEvent, FALSE);
  KeInitializeEvent(&never2, SynchronizationEvent, FALSE);
  machine().Spawn("reader", sim::TaskKind::Application,
                  [&] { KeWaitForSingleObject(&never1, Executive, KernelMode, FALSE, nullptr); });
  machine().Spawn("writer", sim::TaskKind::Application,
                  [&] { KeWaitForSingleObject(&never2, Executive, KernelMode, FALSE, nullptr); });
  try {
    machine().RunUntilIdle();
    FAIL() << "deadlock not detected";
  } catch (const sim::DeadlockError& error) {
    std::string report = error.what();
    EXPECT_NE(report.find("reader"), std::string::npos) << report;
    EXPECT_NE(report.find("writer"), std::string::npos) << report;
    EXPECT_NE(report.find("notification event"), std::string::npos) << report;
    EXPECT_NE(report.find("synchronization event"), std::string::npos) << report;
    EXPECT_NE(report.find("seed"), std::string::npos) << report;
  }
}

TEST_F(MachineTest, IdleDaemonsAreNoDeadlock) {
  KDPC dpc;
  bool ran = false;
  KeInitializeDpc(
      &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { *static_cast<bool*>(context) = true; }, &ran);
  RunTask([&] { KeInsertQueueDpc(&dpc, nullptr, nullptr); });
  machine().RunUntilIdle();
  EXPECT_TRUE(ran);
}

TEST_F(MachineTest, RunUntilStopsWhenTheConditionHolds) {
  LONG counter = 0;
  machine().Spawn("counter", sim::TaskKind::Application, [&] {
    for (int i = 0; i < 10; ++i) {
      LARGE_INTEGER delay = RelativeMs(10);
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      InterlockedIncrement(&counter);
    }
  });
  EXPECT_TRUE(machine().RunUntil([&] { return counter == 3; }));
  EXPECT_EQ(machine().Now(), Ticks(3)) << "each 10 ms delay is one tick";
  machine().RunFor(25 * sim::kMillisecond);
  EXPECT_EQ(counter, 5);
  machine().RunUntilIdle();
  EXPECT_EQ(counter, 10);
}

TEST_F(MachineTest, ShutdownUnwindsTasksLeftWaiting) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  bool returned = false;
  machine().Spawn("left-behind", sim::TaskKind::Application, [&] {
    LARGE_INTEGER timeout = RelativeMs(100000);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    returned = true;
  });
  machine().RunFor(sim::kMillisecond);
  EXPECT_FALSE(returned);
  // The fixture destroys the machine with the task still blocked; that must not hang.
}

}  // namespace
