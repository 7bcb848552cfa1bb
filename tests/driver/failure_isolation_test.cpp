// A deadlock or livelock fails only the test it happens in, with its seed and report, and the
// suite goes on: in a test body, and in teardown while the driver is being unloaded.
#include <gtest/gtest.h>

#include <string>

#include "driver_test.h"
#include "own_binary.h"

namespace {

// ---- Victims, run only in a child process by the check below ----

class DISABLED_DriverVictims : public DriverTest {
 protected:
  void TearDown() override {
    if (stuckAtUnload_) {
      Guarded([&] {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        h().RunTask("stuck at unload", [&] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
      });
    }
    DriverTest::TearDown();
  }
  bool stuckAtUnload_ = false;
};

// A worker that waits in a loop on an event it never clears.
TEST_F(DISABLED_DriverVictims, WorkerSpinsOnAnEventItNeverClears) {
  KEVENT work;
  KeInitializeEvent(&work, NotificationEvent, FALSE);
  h().machine().Spawn("spinning worker", sim::TaskKind::Worker, [&] {
    for (;;) {
      KeWaitForSingleObject(&work, Executive, KernelMode, FALSE, nullptr);
    }
  });
  h().RunTask("signal once", [&] { KeSetEvent(&work, IO_NO_INCREMENT, FALSE); });
  h().RunUntilIdle();
}

TEST_F(DISABLED_DriverVictims, LoadsAndUnloadsAfterTheLivelock) { EXPECT_TRUE(h().loaded()); }

TEST_F(DISABLED_DriverVictims, DeadlocksWhileUnloading) { stuckAtUnload_ = true; }

TEST_F(DISABLED_DriverVictims, LoadsAndUnloadsAfterTheDeadlock) { EXPECT_TRUE(h().loaded()); }

TEST(FailureIsolation, ADriverTestThatLivelocksOrDeadlocksAtUnloadFailsAloneWithItsSeed) {
  ChildRun run = RunOwnTests("DISABLED_DriverVictims.*");
  ASSERT_TRUE(run.exited) << "the binary died instead of failing a test:\n" << run.output;
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_TRUE(TestFailed(run, "DISABLED_DriverVictims.WorkerSpinsOnAnEventItNeverClears")) << run.output;
  EXPECT_TRUE(TestPassed(run, "DISABLED_DriverVictims.LoadsAndUnloadsAfterTheLivelock")) << run.output;
  EXPECT_TRUE(TestFailed(run, "DISABLED_DriverVictims.DeadlocksWhileUnloading")) << run.output;
  EXPECT_TRUE(TestPassed(run, "DISABLED_DriverVictims.LoadsAndUnloadsAfterTheDeadlock")) << run.output;
  EXPECT_TRUE(Has(run.output, "livelock at virtual time")) << run.output;
  EXPECT_TRUE(Has(run.output, "task spinning worker [worker, IRQL 0] runnable, in KeWaitForSingleObject, spinning"))
      << run.output;
  EXPECT_TRUE(Has(run.output, "deadlock at virtual time")) << run.output;
  EXPECT_TRUE(Has(run.output, "task stuck at unload [application, IRQL 0] waits for notification event"))
      << run.output;
  const std::string seed = std::to_string(harness::SeedFromEnvironment());
  EXPECT_TRUE(Has(run.output, "(seed " + seed + ")")) << run.output;
  EXPECT_TRUE(Has(run.output, "2 FAILED TESTS")) << run.output;
}

}  // namespace
