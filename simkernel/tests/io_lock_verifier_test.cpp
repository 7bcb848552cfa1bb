// Passing an IRP down or completing it while holding a spin lock: the lower driver's
// completion, or the cancel routine, may run inside the call on the same processor and spin
// on that lock for ever. Each rule fires on a wrong test driver and stays quiet for the same
// driver releasing its lock first.
#include "io_test_support.h"

namespace {

using Rules = std::vector<std::string>;

class IoLockVerifier : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    driver = LoadTestDriver(u"Wrong", [this](PDEVICE_OBJECT d, PIRP irp) {
      return d == lower ? lowerDispatch(d, irp) : upperDispatch(d, irp);
    });
    lower = CreateDevice(driver);
    upper = CreateDevice(driver);
    IoAttachDeviceToDeviceStack(upper, lower);
    KeInitializeSpinLock(&lock);
    // The lower driver queues what it gets; the test completes it later.
    lowerDispatch = [this](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      queued = irp;
      return STATUS_PENDING;
    };
  }

  sim::io::Request SendFlush() {
    sim::io::RawIrp raw;
    raw.major = IRP_MJ_FLUSH_BUFFERS;
    return sim::io::SendAsync(upper, raw);
  }

  void CompleteQueued() {
    RunTask([&] { Complete(queued, STATUS_SUCCESS); });
  }

  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT upper = nullptr;
  KSPIN_LOCK lock = 0;
  PIRP queued = nullptr;
  DispatchFn lowerDispatch;
  DispatchFn upperDispatch;
};

TEST_F(IoLockVerifier, PassingDownWhileHoldingTheDriversSpinLock) {
  for (bool wrong : {true, false}) {
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      if (!wrong) KeReleaseSpinLock(&lock, old);
      NTSTATUS status = IoCallDriver(lower, irp);
      if (wrong) KeReleaseSpinLock(&lock, old);
      return status;
    };
    sim::io::Request flush = SendFlush();
    CompleteQueued();
    EXPECT_EQ(flush.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(TakeViolations(), wrong ? Rules{"irp passed down holding spin lock"} : Rules{}) << "wrong " << wrong;
  }
}

TEST_F(IoLockVerifier, CompletingWhileHoldingTheDriversSpinLock) {
  for (bool wrong : {true, false}) {
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      if (!wrong) KeReleaseSpinLock(&lock, old);
      Complete(irp, STATUS_SUCCESS);
      if (wrong) KeReleaseSpinLock(&lock, old);
      return STATUS_SUCCESS;
    };
    EXPECT_EQ(SendFlush().Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(TakeViolations(), wrong ? Rules{"irp completed holding spin lock"} : Rules{}) << "wrong " << wrong;
  }
}

TEST_F(IoLockVerifier, ALockTakenAtDpcLevelCountsToo) {
  upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(&lock);
    Complete(irp, STATUS_SUCCESS);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
    return STATUS_SUCCESS;
  };
  SendFlush().Wait();
  EXPECT_EQ(TakeViolations(), Rules{"irp completed holding spin lock"});
}

TEST_F(IoLockVerifier, PassingDownWhileHoldingTheCancelSpinLock) {
  for (bool wrong : {true, false}) {
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      KIRQL old;
      IoAcquireCancelSpinLock(&old);
      if (!wrong) IoReleaseCancelSpinLock(old);
      NTSTATUS status = IoCallDriver(lower, irp);
      if (wrong) IoReleaseCancelSpinLock(old);
      return status;
    };
    sim::io::Request flush = SendFlush();
    CompleteQueued();
    EXPECT_EQ(flush.Wait().status, STATUS_SUCCESS);
    // The cancel spin lock has a rule of its own, not the general one as well.
    EXPECT_EQ(TakeViolations(), wrong ? Rules{"irp passed down holding cancel spin lock"} : Rules{})
        << "wrong " << wrong;
  }
}

TEST_F(IoLockVerifier, CancelRoutineCompletingBeforeReleasingTheCancelSpinLock) {
  for (bool wrong : {true, false}) {
    PIRP pending = nullptr;
    upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, RouteCancel);
      pending = irp;
      return STATUS_PENDING;
    };
    CancelHandler() = [&](PDEVICE_OBJECT, PIRP irp) {
      const KIRQL irql = irp->CancelIrql;
      if (!wrong) IoReleaseCancelSpinLock(irql);
      Complete(irp, STATUS_CANCELLED);
      if (wrong) IoReleaseCancelSpinLock(irql);
    };
    sim::io::Request flush = SendFlush();
    ASSERT_NE(pending, nullptr);
    EXPECT_TRUE(flush.Cancel());
    EXPECT_EQ(flush.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(TakeViolations(), wrong ? Rules{"irp completed holding cancel spin lock"} : Rules{})
        << "wrong " << wrong;
  }
}

TEST_F(IoLockVerifier, ThePowerPathIsCheckedLikeIoCallDriver) {
  upperDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    NTSTATUS status = PoCallDriver(lower, irp);
    KeReleaseSpinLock(&lock, old);
    return status;
  };
  lowerDispatch = [](PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
  };
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  sim::io::SendPower(upper, IRP_MN_SET_POWER, DevicePowerState, state);
  const Rules rules = TakeViolations();
  // The lower driver completes inside the call, so the completion is under the lock as well.
  EXPECT_TRUE(Contains(rules, "irp passed down holding spin lock"));
  EXPECT_TRUE(Contains(rules, "irp completed holding spin lock"));
}

}  // namespace
