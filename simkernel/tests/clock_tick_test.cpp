// Kernel time moves on the clock interrupt: timers fire, timed waits end and the system
// time and tick count change only on tick boundaries, KeQueryTimeIncrement apart.
#include <vector>

#include "machine_fixture.h"
#include "simkernel/race_detector.h"

namespace {

LARGE_INTEGER Relative(LONGLONG units) {
  LARGE_INTEGER t;
  t.QuadPart = -units;
  return t;
}

// Runs the device side to a moment between ticks, off the kernel's clock.
void RunTo(sim::Machine& machine, sim::VirtualTime when) { machine.RunFor(when - machine.Now()); }

TEST_F(MachineTest, TheClockTicksAtTheUniprocessorRateUnlessATestSetsAnother) {
  EXPECT_EQ(KeQueryTimeIncrement(), 100144u);
  machine().SetTimeIncrement(156250);
  EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
  RunTask([] {
    LARGE_INTEGER delay = RelativeMs(10);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  });
  EXPECT_EQ(machine().Now(), 156250) << "10 ms end on the first 15.625 ms tick";
}

TEST_F(MachineTest, ANextTickTimerFiresOnTheNextTickNotAHundredNanosecondsLater) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  RunTo(machine(), Ticks(2) + 5000);
  RunTask([&] { KeSetTimer(&timer, Relative(1), nullptr); });
  RunTo(machine(), Ticks(3) - 1);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  machine().RunFor(1);
  EXPECT_TRUE(KeReadStateTimer(&timer)) << "signalled at tick 3";
}

TEST_F(MachineTest, RelativeTimesCountFromTheLastTickAndEndOnATick) {
  std::vector<sim::VirtualTime> ended;
  // Set between ticks 1 and 2, 15 ms from tick 1 ends on tick 2 already...
  RunTo(machine(), Ticks(1) + 90000);
  machine().Spawn("short", sim::TaskKind::Application, [&] {
    LARGE_INTEGER delay = RelativeMs(15);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    ended.push_back(machine().Now());
  });
  machine().RunUntilIdle();
  // ...and a wait of exactly one tick from a tick lasts exactly that tick.
  machine().Spawn("exact", sim::TaskKind::Application, [&] {
    LARGE_INTEGER timeout = Relative(100144);
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    ended.push_back(machine().Now());
  });
  machine().RunUntilIdle();
  EXPECT_EQ(ended, (std::vector<sim::VirtualTime>{Ticks(3), Ticks(4)}));
}

TEST_F(MachineTest, AnAbsoluteDueTimeEndsOnTheFirstTickAtOrAfterItAndOneInThePastAtOnce) {
  KTIMER late, past;
  KeInitializeTimer(&late);
  KeInitializeTimer(&past);
  RunTask([&] {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER due = now;
    due.QuadPart += Ticks(2) + 1;
    KeSetTimer(&late, due, nullptr);
    due.QuadPart = now.QuadPart - 1;
    KeSetTimer(&past, due, nullptr);
  });
  EXPECT_TRUE(KeReadStateTimer(&past));
  EXPECT_EQ(machine().Now(), 0);
  machine().RunUntilIdle();
  EXPECT_TRUE(KeReadStateTimer(&late));
  EXPECT_EQ(machine().Now(), Ticks(3));
}

TEST_F(MachineTest, APeriodicTimerReArmsInTicksFromTheTickItFiredOn) {
  KTIMER timer;
  KDPC dpc;
  std::vector<sim::VirtualTime> fired;
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc, [](PKDPC, PVOID c, PVOID, PVOID) {
        sim::race::Unobserved unobserved;  // each expiry may run it on another processor
        static_cast<std::vector<sim::VirtualTime>*>(c)->push_back(sim::Machine::Current().Now());
      },
      &fired);
  RunTask([&] { KeSetTimerEx(&timer, RelativeMs(25), 25, &dpc); });
  machine().RunFor(Ticks(9));
  // 25 ms is 2.5 ticks: every period rounds up to 3 ticks.
  EXPECT_EQ(fired, (std::vector<sim::VirtualTime>{Ticks(3), Ticks(6), Ticks(9)}));
  RunTask([&] { KeCancelTimer(&timer); });
}

TEST_F(MachineTest, SystemTimeTickCountAndInterruptTimeChangeOnlyOnTicks) {
  LARGE_INTEGER boot, between, onTick, ticks;
  ULONGLONG interruptBetween = 0, interruptOnTick = 0;
  KeQuerySystemTime(&boot);
  RunTo(machine(), Ticks(5) - 1);
  KeQuerySystemTime(&between);
  KeQueryTickCount(&ticks);
  interruptBetween = KeQueryInterruptTime();
  EXPECT_EQ(between.QuadPart - boot.QuadPart, Ticks(4));
  EXPECT_EQ(ticks.QuadPart, 4);
  EXPECT_EQ(interruptBetween, static_cast<ULONGLONG>(Ticks(4)));
  machine().RunFor(1);
  KeQuerySystemTime(&onTick);
  KeQueryTickCount(&ticks);
  interruptOnTick = KeQueryInterruptTime();
  EXPECT_EQ(onTick.QuadPart - boot.QuadPart, Ticks(5));
  EXPECT_EQ(ticks.QuadPart, 5);
  EXPECT_EQ(interruptOnTick, static_cast<ULONGLONG>(Ticks(5)));
}

TEST_F(MachineTest, ExtremeDueTimesNeitherOverflowNorFireEarly) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  RunTask([&] {
    LARGE_INTEGER farthest;
    farthest.QuadPart = INT64_MIN;
    KeSetTimer(&timer, farthest, nullptr);
  });
  machine().RunFor(3600 * sim::kSecond);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  RunTask([&] { EXPECT_TRUE(KeCancelTimer(&timer)); });
}

}  // namespace
