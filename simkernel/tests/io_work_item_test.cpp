// The I/O manager's work items: the routine runs at PASSIVE_LEVEL with the device object
// referenced until it returns, and the two misuses are reported.
#include "io_test_support.h"

namespace {

class IoWorkItem : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    driver = LoadTestDriver(u"Wk", [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
    device = CreateDevice(driver, u"\\Device\\Wk");
  }
  struct Seen {
    PDEVICE_OBJECT device = nullptr;
    KIRQL irql = HIGH_LEVEL;
    LONG references = -1;
    int runs = 0;
  };
  static VOID NTAPI Routine(PDEVICE_OBJECT device, PVOID context) {
    auto* seen = static_cast<Seen*>(context);
    seen->device = device;
    seen->irql = KeGetCurrentIrql();
    seen->references = sim::io::ObjectReferenceCount(device);
    ++seen->runs;
  }
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
};

TEST_F(IoWorkItem, RunsAtPassiveLevelWithItsDeviceReferencedUntilItReturns) {
  Seen seen;
  PIO_WORKITEM item = nullptr;
  RunTask([&] {
    item = IoAllocateWorkItem(device);
    ASSERT_NE(item, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(item, Routine, DelayedWorkQueue, &seen);
    KeLowerIrql(old);
    EXPECT_EQ(sim::io::ObjectReferenceCount(device), 1) << "queued: referenced";
  });
  machine().RunUntilIdle();
  EXPECT_EQ(seen.runs, 1);
  EXPECT_EQ(seen.device, device);
  EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
  EXPECT_EQ(seen.references, 1);
  EXPECT_EQ(sim::io::ObjectReferenceCount(device), 0) << "released once the routine returned";
  RunTask([&] {
    IoQueueWorkItem(item, Routine, CriticalWorkQueue, &seen);  // again, once it has run
  });
  machine().RunUntilIdle();
  EXPECT_EQ(seen.runs, 2);
  RunTask([&] { IoFreeWorkItem(item); });
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(IoWorkItem, QueuedTwiceOrFreedWhileQueuedIsReported) {
  Seen seen;
  PIO_WORKITEM item = nullptr;
  RunTask([&] {
    item = IoAllocateWorkItem(device);
    IoQueueWorkItem(item, Routine, DelayedWorkQueue, &seen);
    IoQueueWorkItem(item, Routine, DelayedWorkQueue, &seen);
    IoFreeWorkItem(item);
  });
  machine().RunUntilIdle();
  EXPECT_EQ(seen.runs, 1);
  EXPECT_EQ(TakeViolations(), (std::vector<std::string>{"work item queued twice", "work item freed while queued"}));
  RunTask([&] { IoFreeWorkItem(item); });
}

}  // namespace
