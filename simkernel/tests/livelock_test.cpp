// Livelocks: tasks that keep scheduling while nothing completes and the clock stands still
// are stopped and reported like a deadlock, with the task that spins and what it spins on.
// A deadlock or livelock fails only the test it happens in, in its body or in its teardown.
#include "machine_fixture.h"
#include "own_binary.h"

namespace {

TEST_F(MachineTest, ATaskWaitingInALoopOnAnEventLeftSignalledIsALivelock) {
  machine().SetLivelockBound(20000);
  KEVENT ready;
  KeInitializeEvent(&ready, NotificationEvent, TRUE);
  machine().Spawn("spinner", sim::TaskKind::Worker, [&] {
    for (;;) KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr);
  });
  try {
    machine().RunUntilIdle();
    FAIL() << "livelock not detected";
  } catch (const sim::DeadlockError& error) {
    std::string report = error.what();
    EXPECT_TRUE(Has(report, "livelock")) << report;
    EXPECT_TRUE(Has(report, "task spinner [worker, IRQL 0] runnable, in KeWaitForSingleObject, spinning")) << report;
    EXPECT_TRUE(Has(report, "seed " + std::to_string(machine().Seed()))) << report;
    EXPECT_TRUE(Has(report, "recent trace:")) << report;
  }
  EXPECT_TRUE(machine().Stopped());
  EXPECT_THROW(machine().RunFor(sim::kMillisecond), sim::DeadlockError) << "a stopped machine runs nothing more";
  EXPECT_EQ(machine().Now(), 0) << "the clock never moved";
}

TEST_F(MachineTest, TwoTasksSettingAndClearingAnEventForeverAreALivelock) {
  machine().SetLivelockBound(20000);
  KEVENT flag;
  KeInitializeEvent(&flag, NotificationEvent, FALSE);
  LONG clears = 0;
  machine().Spawn("setter", sim::TaskKind::Application, [&] {
    for (;;) KeSetEvent(&flag, IO_NO_INCREMENT, FALSE);
  });
  machine().Spawn("clearer", sim::TaskKind::Application, [&] {
    for (;;) {
      KeClearEvent(&flag);
      InterlockedIncrement(&clears);
    }
  });
  try {
    machine().RunUntilIdle();
    FAIL() << "livelock not detected";
  } catch (const sim::DeadlockError& error) {
    std::string report = error.what();
    EXPECT_TRUE(Has(report, "task setter [application, IRQL 0] runnable, in KeSetEvent, spinning")) << report;
    EXPECT_TRUE(Has(report, "task clearer [application, IRQL 0] runnable, in InterlockedIncrement, spinning"))
        << report;
  }
}

TEST_F(MachineTest, TwoTasksHandingAnEventBackAndForthAreALivelock) {
  machine().SetLivelockBound(20000);
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, TRUE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  for (auto [name, mine, theirs] : {std::tuple{"ping", &ping, &pong}, std::tuple{"pong", &pong, &ping}})
    machine().Spawn(name, sim::TaskKind::Application, [mine = mine, theirs = theirs] {
      for (;;) {
        KeWaitForSingleObject(mine, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(theirs, IO_NO_INCREMENT, FALSE);
      }
    });
  EXPECT_THROW(machine().RunUntilIdle(), sim::DeadlockError);
}

TEST_F(MachineTest, WorkThatKeepsTheClockMovingIsNoLivelock) {
  machine().SetLivelockBound(1000);
  KEVENT ready;
  KeInitializeEvent(&ready, NotificationEvent, TRUE);
  int rounds = 0;
  RunTask([&] {
    // Far more scheduling points than the bound, but never that many without a tick.
    for (rounds = 0; rounds < 40; ++rounds) {
      for (int i = 0; i < 400; ++i) KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr);
      LARGE_INTEGER tick;
      tick.QuadPart = -1;
      KeDelayExecutionThread(KernelMode, FALSE, &tick);
    }
  });
  EXPECT_EQ(rounds, 40);
  EXPECT_EQ(machine().Now(), Ticks(40));
}

TEST_F(MachineTest, DpcsThatKeepCompletingAreNoLivelock) {
  machine().SetLivelockBound(1000);
  struct Chain {
    KDPC dpc;
    int left = 3000;
  } chain;
  KeInitializeDpc(
      &chain.dpc,
      [](PKDPC dpc, PVOID context, PVOID, PVOID) {
        if (--static_cast<Chain*>(context)->left > 0) KeInsertQueueDpc(dpc, nullptr, nullptr);
      },
      &chain);
  RunTask([&] { KeInsertQueueDpc(&chain.dpc, nullptr, nullptr); });
  machine().RunUntilIdle();
  EXPECT_EQ(chain.left, 0);
}

// ---- Victims, run only in a child process by the checks below ----

class DISABLED_Victims : public MachineTest {
 protected:
  void TearDown() override {
    if (deadlockInTearDown_) {
      Guarded([&] {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        machine().RunTask("stuck at teardown",
                          [&] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
      });
    }
    MachineTest::TearDown();
  }
  bool deadlockInTearDown_ = false;
};

TEST_F(DISABLED_Victims, LivelocksAtTheDefaultBound) {
  KEVENT ready;
  KeInitializeEvent(&ready, NotificationEvent, TRUE);
  machine().Spawn("spinning worker", sim::TaskKind::Worker, [&] {
    for (;;) KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr);
  });
  machine().RunUntilIdle();
}

TEST_F(DISABLED_Victims, RunsAfterTheLivelock) {
  RunTask([] {});
  EXPECT_EQ(machine().Violations().size(), 0u);
}

TEST_F(DISABLED_Victims, DeadlocksInTearDown) { deadlockInTearDown_ = true; }

TEST_F(DISABLED_Victims, RunsAfterTheTearDownDeadlock) { RunTask([] {}); }

TEST(FailureIsolation, ALivelockOrATearDownDeadlockFailsOnlyItsOwnTest) {
  ChildRun run = RunOwnTests("DISABLED_Victims.*");
  ASSERT_TRUE(run.exited) << "the binary died instead of failing a test:\n" << run.output;
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_TRUE(TestFailed(run, "DISABLED_Victims.LivelocksAtTheDefaultBound")) << run.output;
  EXPECT_TRUE(TestPassed(run, "DISABLED_Victims.RunsAfterTheLivelock")) << run.output;
  EXPECT_TRUE(TestFailed(run, "DISABLED_Victims.DeadlocksInTearDown")) << run.output;
  EXPECT_TRUE(TestPassed(run, "DISABLED_Victims.RunsAfterTheTearDownDeadlock")) << run.output;
  EXPECT_TRUE(Has(run.output, "task spinning worker [worker, IRQL 0] runnable, in KeWaitForSingleObject")) << run.output;
  EXPECT_TRUE(Has(run.output, "task stuck at teardown [application, IRQL 0] waits for notification event"))
      << run.output;
  EXPECT_TRUE(Has(run.output, "2 FAILED TESTS")) << run.output;
}

}  // namespace
