// Each I/O manager verifier rule fires on a deliberately wrong test driver, and stays quiet for
// the right way of doing the same thing.
#include <cstring>

#include "io_test_support.h"

namespace {

using Rules = std::vector<std::string>;

class IoVerifier : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    driver = LoadTestDriver(u"Wrong", [this](PDEVICE_OBJECT d, PIRP irp) { return dispatch(d, irp); });
    device = CreateDevice(driver, u"\\Device\\Wrong");
  }
  sim::io::Result SendFlush(PDEVICE_OBJECT target = nullptr) {
    sim::io::RawIrp raw;
    raw.major = IRP_MJ_FLUSH_BUFFERS;
    return sim::io::Send(target ? target : device, raw);
  }
  PDRIVER_OBJECT driver;
  PDEVICE_OBJECT device;
  DispatchFn dispatch;
};

TEST_F(IoVerifier, IrpCompletedTwice) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return Complete(irp, STATUS_SUCCESS);
  };
  EXPECT_EQ(SendFlush().status, STATUS_SUCCESS);
  EXPECT_EQ(TakeViolations(), Rules{"irp completed twice"});
}

TEST_F(IoVerifier, IrpCompletedWithItsCancelRoutineStillSet) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, RouteCancel);
    return Complete(irp, STATUS_SUCCESS);
  };
  SendFlush();
  EXPECT_EQ(TakeViolations(), Rules{"irp completed with cancel routine set"});
}

TEST_F(IoVerifier, IrpCompletedWithPendingStatus) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_PENDING);
    return STATUS_SUCCESS;
  };
  SendFlush();
  EXPECT_EQ(TakeViolations(), Rules{"irp completed with pending status"});
}

TEST_F(IoVerifier, IrpCompletedAboveDispatchLevel) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    Complete(irp, STATUS_SUCCESS);
    KeLowerIrql(old);
    return STATUS_SUCCESS;
  };
  SendFlush();
  EXPECT_EQ(TakeViolations(), Rules{"irp completed above dispatch level"});
}

TEST_F(IoVerifier, PendingReturnedWithoutMarkIsReportedWhenTheIrpCompletes) {
  PIRP held = nullptr;
  dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    return STATUS_PENDING;  // queued, never marked
  };
  sim::io::Request request = [&] {
    sim::io::RawIrp raw;
    raw.major = IRP_MJ_FLUSH_BUFFERS;
    return sim::io::SendAsync(device, raw);
  }();
  EXPECT_TRUE(TakeViolations().empty());  // it may still be marked by a completion routine
  RunTask([&] { Complete(held, STATUS_SUCCESS); });
  EXPECT_TRUE(request.IsComplete());
  EXPECT_EQ(TakeViolations(), Rules{"pending returned without IoMarkIrpPending"});
}

TEST_F(IoVerifier, PendingReturnedAfterCompletingWithoutMark) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  };
  SendFlush();
  EXPECT_EQ(TakeViolations(), Rules{"pending returned without IoMarkIrpPending"});
}

TEST_F(IoVerifier, MarkedPendingButReturnedAStatus) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return Complete(irp, STATUS_SUCCESS);
  };
  SendFlush();
  EXPECT_EQ(TakeViolations(), Rules{"IoMarkIrpPending without pending returned"});
}

TEST_F(IoVerifier, CorrectPendingIsQuietEvenWhenCompletedBeforeReturn) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    Complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  };
  EXPECT_EQ(SendFlush().status, STATUS_SUCCESS);
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(IoVerifier, ReturnedWithoutCompletingOrPending) {
  dispatch = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
  SendFlush();
  EXPECT_EQ(TakeViolations(), Rules{"irp not completed but status returned"});
}

TEST_F(IoVerifier, DispatchReturnsAtAnotherIrql) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return STATUS_SUCCESS;
  };
  RunTask([&] {
    SendFlush();
    KeLowerIrql(PASSIVE_LEVEL);
  });
  EXPECT_EQ(TakeViolations(), Rules{"irql changed by dispatch routine"});
}

TEST_F(IoVerifier, DispatchReturnsHoldingASpinLock) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    KeAcquireSpinLockAtDpcLevel(&lock);
    return STATUS_SUCCESS;
  };
  RunTask([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    SendFlush();
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
  });
  EXPECT_EQ(TakeViolations(), Rules{"spin lock held on dispatch return"});
}

TEST_F(IoVerifier, InformationBeyondTheCallersBuffer) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
    return Complete(irp, STATUS_SUCCESS, 10);
  };
  PFILE_OBJECT file;
  ASSERT_EQ(sim::io::Open(u"\\Device\\Wrong", &file), STATUS_SUCCESS);
  sim::io::Result read = sim::io::Read(file, 4);
  EXPECT_EQ(read.output.size(), 4u);  // never more than the buffer
  EXPECT_EQ(TakeViolations(), Rules{"information exceeds buffer"});
  sim::io::Close(file);
}

TEST_F(IoVerifier, StackOverflowWhenPassingDownWithoutALocation) {
  PDEVICE_OBJECT other = CreateDevice(driver);
  dispatch = [&](PDEVICE_OBJECT d, PIRP irp) {
    if (d == other) return Complete(irp, STATUS_SUCCESS);
    // Not attached: the IRP was sized for this device alone and has no location for `other`.
    NTSTATUS status = IoCallDriver(other, irp);
    if (status == STATUS_INVALID_PARAMETER) Complete(irp, status);
    return status;
  };
  EXPECT_EQ(SendFlush().status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(TakeViolations(), Rules{"irp stack overflow"});
}

TEST_F(IoVerifier, DriverIrpThatNobodyTakesBack) {
  PDEVICE_OBJECT lower = CreateDevice(driver);
  dispatch = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  RunTask([&] {
    // No location of its own and a completion routine that lets completion go on.
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    CompletionThunk done{[](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }};
    done.Install(irp);
    IoCallDriver(lower, irp);
    IoFreeIrp(irp);
  });
  EXPECT_EQ(TakeViolations(), Rules{"driver irp completed to top"});
}

TEST_F(IoVerifier, DriverIrpFreedInItsCompletionRoutineIsQuiet) {
  PDEVICE_OBJECT lower = CreateDevice(driver);
  dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    sim::Machine::Current().Spawn("device", sim::TaskKind::Device, [irp] { Complete(irp, STATUS_SUCCESS); });
    return STATUS_PENDING;
  };
  volatile LONG freed = FALSE;  // set in the completion routine, on another task
  RunTask([&] {
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(lower->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);  // a location of its own, as drivers allocating IRPs do
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    CompletionThunk done{[&](PDEVICE_OBJECT, PIRP completed) {
      IoFreeIrp(completed);
      InterlockedExchange(&freed, TRUE);
      return STATUS_MORE_PROCESSING_REQUIRED;
    }};
    done.Install(irp);
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_PENDING);
    for (int i = 0; i < 100 && !InterlockedCompareExchange(&freed, FALSE, FALSE); ++i) {  // the completion routine must run while `done` lives
      LARGE_INTEGER delay = RelativeMs(1);
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
  });
  EXPECT_TRUE(freed);
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(IoVerifier, IrpFreedWhileInFlightThenCompletedAfterFree) {
  PDEVICE_OBJECT lower = CreateDevice(driver);
  PIRP held = nullptr;
  dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  RunTask([&] {
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoCallDriver(lower, irp);
    IoFreeIrp(irp);
  });
  EXPECT_EQ(TakeViolations(), Rules{"irp freed while in flight"});
  RunTask([&] { Complete(held, STATUS_SUCCESS); });
  EXPECT_EQ(TakeViolations(), Rules{"irp completed after free"});
}

TEST_F(IoVerifier, IrpFreedTwiceOrNeverAllocated) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoFreeIrp(irp);
  IoFreeIrp(irp);
  EXPECT_EQ(TakeViolations(), Rules{"irp freed twice"});
  alignas(16) uint8_t memory[512] = {};
  auto* own = reinterpret_cast<PIRP>(memory);
  IoInitializeIrp(own, IoSizeOfIrp(2), 2);
  EXPECT_EQ(own->CurrentLocation, 3);
  IoFreeIrp(own);  // initialised on the caller's memory: not the I/O manager's to free
  EXPECT_EQ(TakeViolations(), Rules{"free of unknown irp"});
  IoInitializeIrp(own, 8, 2);
  EXPECT_EQ(TakeViolations(), Rules{"irp packet too small"});
}

TEST_F(IoVerifier, IrpReusedWhileInFlight) {
  PDEVICE_OBJECT lower = CreateDevice(driver);
  PIRP held = nullptr;
  dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  RunTask([&] {
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(lower->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoCallDriver(lower, irp);
    IoReuseIrp(irp, STATUS_SUCCESS);
  });
  EXPECT_EQ(TakeViolations(), Rules{"irp reused while in flight"});
}

TEST_F(IoVerifier, RequestToADeletedUnreferencedDevice) {
  PDEVICE_OBJECT gone = CreateDevice(driver);
  dispatch = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  IoDeleteDevice(gone);
  SendFlush(gone);
  EXPECT_EQ(TakeViolations(), Rules{"irp sent to deleted device"});
  IoDeleteDevice(gone);
  EXPECT_EQ(TakeViolations(), Rules{"device deleted twice"});
}

TEST_F(IoVerifier, RequestToADeletedDeviceStillOpenIsAllowed) {
  dispatch = [](PDEVICE_OBJECT, PIRP irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    return Complete(irp, major == IRP_MJ_CREATE ? STATUS_SUCCESS : STATUS_DELETE_PENDING);
  };
  PFILE_OBJECT file;
  ASSERT_EQ(sim::io::Open(u"\\Device\\Wrong", &file), STATUS_SUCCESS);
  IoDeleteDevice(device);
  EXPECT_EQ(sim::io::Read(file, 1).status, STATUS_DELETE_PENDING);
  sim::io::Close(file);
  EXPECT_TRUE(TakeViolations().empty());
}

TEST_F(IoVerifier, DeviceDeletedWhileAttached) {
  PDEVICE_OBJECT lower = CreateDevice(driver);
  PDEVICE_OBJECT upper = CreateDevice(driver);
  IoAttachDeviceToDeviceStack(upper, lower);
  IoDeleteDevice(upper);
  EXPECT_EQ(TakeViolations(), Rules{"device deleted while attached"});
  IoDetachDevice(lower);
  IoDetachDevice(lower);
  EXPECT_EQ(TakeViolations(), Rules{"device detached but not attached"});
}

TEST_F(IoVerifier, DeviceDeletedWithATimerSetInItsExtension) {
  struct Extension {
    KTIMER timer;
    KDPC dpc;
  };
  PDEVICE_OBJECT withTimer = CreateDevice(driver, u"", 0, sizeof(Extension));
  auto* extension = static_cast<Extension*>(withTimer->DeviceExtension);
  RunTask([&] {
    KeInitializeTimer(&extension->timer);
    KeSetTimer(&extension->timer, RelativeMs(100), nullptr);
  });
  IoDeleteDevice(withTimer);
  EXPECT_EQ(TakeViolations(), Rules{"device deleted holding queued dpc or set timer"});
  RunTask([&] { KeCancelTimer(&extension->timer); });
}

NTSTATUS NTAPI ForgetfulAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (NT_SUCCESS(status)) IoAttachDeviceToDeviceStack(fdo, pdo);
  return status;
}

TEST_F(IoVerifier, AddDeviceLeavesTheInitialisingFlag) {
  driver->DriverExtension->AddDevice = ForgetfulAddDevice;
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice();
  EXPECT_EQ(sim::io::AddDevice(driver, pdo), STATUS_SUCCESS);
  EXPECT_EQ(TakeViolations(), Rules{"device initializing flag not cleared"});
  PFILE_OBJECT file;
  EXPECT_EQ(sim::io::OpenDevice(pdo->AttachedDevice, &file), STATUS_NO_SUCH_DEVICE);
}

TEST_F(IoVerifier, UnloadWithDevicesLeft) {
  driver->DriverUnload = [](PDRIVER_OBJECT) {};
  EXPECT_TRUE(sim::io::UnloadDriver(driver));
  EXPECT_EQ(TakeViolations(), Rules{"driver unloaded with devices"});
}

TEST_F(IoVerifier, ObjectDereferencedMoreThanReferenced) {
  ObReferenceObject(device);
  ObDereferenceObject(device);
  ObDereferenceObject(device);
  EXPECT_EQ(TakeViolations(), Rules{"object reference count underflow"});
}

TEST_F(IoVerifier, NullDispatchRoutine) {
  driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = nullptr;
  EXPECT_EQ(SendFlush().status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(TakeViolations(), Rules{"null dispatch routine"});
}

TEST_F(IoVerifier, MdlMisuse) {
  RunTask([] {
    const ULONG tag = sim::pool::TagFromString("Test");
    void* paged = ExAllocatePoolWithTag(PagedPool, 64, tag);
    PMDL mdl = IoAllocateMdl(paged, 64, FALSE, FALSE, nullptr);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    IoFreeMdl(mdl);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(paged, tag);
  });
  EXPECT_EQ(TakeViolations(), (Rules{"mdl mapped without being built", "mdl built on paged pool", "free of unknown mdl"}));
}

}  // namespace
