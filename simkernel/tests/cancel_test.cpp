// Cancellation through IoCancelIrp and the system cancel spin lock.
#include <set>

#include "io_test_support.h"

namespace {

using Rules = std::vector<std::string>;

class Cancel : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    driver = LoadTestDriver(u"Queue", [this](PDEVICE_OBJECT d, PIRP irp) { return dispatch(d, irp); });
    device = CreateDevice(driver, u"\\Device\\Queue");
    // By default requests are queued with a cancel routine, as a serial driver queues reads.
    dispatch = [this](PDEVICE_OBJECT, PIRP irp) {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, RouteCancel);
      queued = irp;
      IoReleaseCancelSpinLock(irql);
      return STATUS_PENDING;
    };
  }
  sim::io::Request Queue() {
    sim::io::RawIrp raw;
    raw.major = IRP_MJ_READ;
    return sim::io::SendAsync(device, raw);
  }
  PDRIVER_OBJECT driver;
  PDEVICE_OBJECT device;
  DispatchFn dispatch;
  PIRP queued = nullptr;
};

TEST_F(Cancel, CancelRoutineRunsUnderTheCancelLockAndCompletesTheIrp) {
  bool ran = false;
  CancelHandler() = [&](PDEVICE_OBJECT d, PIRP irp) {
    ran = true;
    sim::Task* self = machine().CurrentTask();
    EXPECT_EQ(d, device);
    EXPECT_TRUE(irp->Cancel);
    EXPECT_TRUE(self->holdsCancelLock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(irp->CancelIrql, PASSIVE_LEVEL);
    EXPECT_EQ(irp->CancelRoutine, nullptr);  // taken before the call
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED, 0, IO_SERIAL_INCREMENT);
  };
  sim::io::Request request = Queue();
  EXPECT_FALSE(request.IsComplete());
  EXPECT_TRUE(request.Cancel());
  EXPECT_TRUE(ran);
  ASSERT_TRUE(request.IsComplete());
  EXPECT_EQ(request.Status(), STATUS_CANCELLED);
  EXPECT_EQ(request.PriorityBoost(), IO_SERIAL_INCREMENT);
  EXPECT_FALSE(request.Cancel());  // nothing left to cancel
}

TEST_F(Cancel, WithoutCancelRoutineCancelOnlyMarksTheIrp) {
  dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    queued = irp;
    return STATUS_PENDING;
  };
  sim::io::Request request = Queue();
  EXPECT_FALSE(request.Cancel());
  EXPECT_TRUE(queued->Cancel);
  EXPECT_FALSE(request.IsComplete());
  RunTask([&] { Complete(queued, STATUS_CANCELLED); });
  EXPECT_EQ(request.Status(), STATUS_CANCELLED);
}

TEST_F(Cancel, DriverThatTakesTheRoutineBackFirstWinsTheRace) {
  int cancelRuns = 0;
  CancelHandler() = [&](PDEVICE_OBJECT, PIRP irp) {
    ++cancelRuns;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
  };
  sim::io::Request request = Queue();
  RunTask([&] {
    // The completing path clears the routine; a NULL result would mean cancel owns the IRP.
    ASSERT_EQ(IoSetCancelRoutine(queued, nullptr), RouteCancel);
    Complete(queued, STATUS_SUCCESS, 0, IO_SERIAL_INCREMENT);
  });
  EXPECT_FALSE(request.Cancel());
  EXPECT_EQ(cancelRuns, 0);
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
}

TEST_F(Cancel, ApplicationCancelRacingCompletionNeverTouchesAFreedIrp) {
  // The application's cancel may find the request still in flight and then lose the race to
  // the driver's completion; the I/O manager keeps its request alive until the cancel returns.
  // The driver owns the queued request under the cancel spin lock, as a serial driver would.
  CancelHandler() = [&](PDEVICE_OBJECT, PIRP irp) {
    queued = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
  };
  std::set<NTSTATUS> outcomes;
  for (int round = 0; round < 60; ++round) {
    sim::io::Request request = Queue();
    machine().Spawn("completer", sim::TaskKind::Application, [this] {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      PIRP irp = queued;
      if (irp && IoSetCancelRoutine(irp, nullptr) == RouteCancel) {
        queued = nullptr;
        IoReleaseCancelSpinLock(irql);
        Complete(irp, STATUS_SUCCESS, 0, IO_SERIAL_INCREMENT);
        return;
      }
      IoReleaseCancelSpinLock(irql);
    });
    request.Cancel();
    machine().RunUntilIdle();
    ASSERT_TRUE(request.IsComplete());
    outcomes.insert(request.Status());
  }
  EXPECT_EQ(outcomes, (std::set<NTSTATUS>{STATUS_SUCCESS, STATUS_CANCELLED}));
}

TEST_F(Cancel, CompletionRoutineAskingOnlyForCancelRunsForACancelledIrp) {
  PDEVICE_OBJECT upper = CreateDevice(driver);
  IoAttachDeviceToDeviceStack(upper, device);
  int calls = 0;
  CompletionThunk onCancel{[&](PDEVICE_OBJECT, PIRP irp) {
    ++calls;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  }};
  auto lower = dispatch;
  dispatch = [&](PDEVICE_OBJECT d, PIRP irp) {
    if (d != upper) return lower(d, irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    onCancel.Install(irp, false, false, true);
    return IoCallDriver(device, irp);
  };
  CancelHandler() = [&](PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
  };
  sim::io::RawIrp raw;
  raw.major = IRP_MJ_READ;
  sim::io::Request first = sim::io::SendAsync(upper, raw);
  EXPECT_TRUE(first.Cancel());
  EXPECT_EQ(calls, 1);
  // An error that is not a cancellation does not call it.
  sim::io::Request second = sim::io::SendAsync(upper, raw);
  RunTask([&] {
    IoSetCancelRoutine(queued, nullptr);
    Complete(queued, STATUS_DEVICE_DATA_ERROR);
  });
  EXPECT_EQ(second.Status(), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(calls, 1);
}

TEST_F(Cancel, CancelSpinLockAcquiredTwiceOnOneTask) {
  RunTask([] {
    KIRQL first, second;
    IoAcquireCancelSpinLock(&first);
    IoAcquireCancelSpinLock(&second);
    IoReleaseCancelSpinLock(first);
  });
  EXPECT_EQ(TakeViolations(), Rules{"cancel spin lock acquired twice"});
}

TEST_F(Cancel, CancelSpinLockReleasedWithoutBeingHeld) {
  RunTask([] { IoReleaseCancelSpinLock(PASSIVE_LEVEL); });
  EXPECT_EQ(TakeViolations(), Rules{"cancel spin lock released without being held"});
}

TEST_F(Cancel, CancelSpinLockExcludesOtherTasks) {
  std::vector<std::string> order;
  RunTask([&] {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    machine().Spawn("other", sim::TaskKind::Dpc, [&] {
      KIRQL inner;
      IoAcquireCancelSpinLock(&inner);
      order.push_back("other");
      IoReleaseCancelSpinLock(inner);
    });
    for (int i = 0; i < 10; ++i) machine().Point("busy");
    order.push_back("holder");
    IoReleaseCancelSpinLock(irql);
  });
  machine().RunUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"holder", "other"}));
}

TEST_F(Cancel, CancelRoutineThatKeepsTheCancelLock) {
  CancelHandler() = [&](PDEVICE_OBJECT, PIRP irp) { Complete(irp, STATUS_CANCELLED); };
  sim::io::Request request = Queue();
  EXPECT_TRUE(request.Cancel());
  // It also completed the request under the lock.
  EXPECT_EQ(TakeViolations(), (Rules{"irp completed holding cancel spin lock", "cancel routine kept cancel spin lock"}));
  // The lock was taken back from it: the next user does not hang.
  RunTask([] {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
  });
  EXPECT_TRUE(TakeViolations().empty());
}

}  // namespace
