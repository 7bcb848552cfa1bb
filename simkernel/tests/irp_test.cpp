// IRPs through stacks of test drivers: layout, completion routine order, more-processing,
// pending propagation, requests built by drivers, and the application's requests.
#include <cstring>

#include "io_test_support.h"

namespace {

using sim::io::Result;

class Irp : public IoTest {};

std::vector<uint8_t> Bytes(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }

TEST_F(Irp, AllocatedIrpHasItsStackLocationsAfterItAndStartsAboveTheLast) {
  PIRP irp = IoAllocateIrp(3, FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->Type, 6);
  EXPECT_EQ(irp->StackCount, 3);
  EXPECT_EQ(irp->CurrentLocation, 4);
  EXPECT_EQ(irp->Size, IoSizeOfIrp(3));
  EXPECT_EQ(IoSizeOfIrp(3), sizeof(IRP) + 3 * sizeof(IO_STACK_LOCATION));
  auto* first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + 2);
  IoFreeIrp(irp);
  EXPECT_EQ(sim::io::InFlightIrpCount(), 0u);
}

TEST_F(Irp, ReuseKeepsTheStackAndSetsTheStatus) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoSetNextIrpStackLocation(irp);
  irp->IoStatus.Information = 7;
  IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(irp->CurrentLocation, 3);
  EXPECT_EQ(irp->StackCount, 2);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(irp->IoStatus.Information, 0u);
  IoFreeIrp(irp);
}

// Three drivers stacked: a bottom driver that completes, a middle and a top that both watch
// the request come back.
class IrpStack : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    bottomDriver = LoadTestDriver(u"Bottom", [this](PDEVICE_OBJECT d, PIRP irp) { return bottomDispatch(d, irp); });
    middleDriver = LoadTestDriver(u"Middle", [this](PDEVICE_OBJECT d, PIRP irp) { return middleDispatch(d, irp); });
    topDriver = LoadTestDriver(u"Top", [this](PDEVICE_OBJECT d, PIRP irp) { return topDispatch(d, irp); });
    bottom = CreateDevice(bottomDriver, u"\\Device\\Stacked");
    middle = CreateDevice(middleDriver);
    top = CreateDevice(topDriver);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);  // attaches to the top of the stack
  }

  // Passes a request down with a completion routine recording what it saw.
  NTSTATUS PassDown(PDEVICE_OBJECT self, PDEVICE_OBJECT lower, PIRP irp, CompletionThunk& thunk) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    thunk.Install(irp);
    (void)self;
    return IoCallDriver(lower, irp);
  }

  // The bottom driver pends the request and its device completes it later, as hardware does.
  NTSTATUS PendAndCompleteFromDevice(PIRP irp) {
    IoMarkIrpPending(irp);
    machine().Spawn("device", sim::TaskKind::Device, [irp] {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
  }

  static sim::io::RawIrp Flush() {
    sim::io::RawIrp raw;
    raw.major = IRP_MJ_FLUSH_BUFFERS;
    return raw;
  }

  PDRIVER_OBJECT bottomDriver, middleDriver, topDriver;
  PDEVICE_OBJECT bottom, middle, top;
  DispatchFn bottomDispatch, middleDispatch, topDispatch;
};

TEST_F(IrpStack, StackSizesFollowTheAttachments) {
  EXPECT_EQ(bottom->StackSize, 1);
  EXPECT_EQ(middle->StackSize, 2);
  EXPECT_EQ(top->StackSize, 3);
  EXPECT_EQ(sim::io::LowerDevice(top), middle);
  EXPECT_EQ(sim::io::TopOfStack(bottom), top);
  PDEVICE_OBJECT referenced = nullptr;
  RunTask([&] { referenced = IoGetAttachedDeviceReference(bottom); });
  EXPECT_EQ(referenced, top);
  EXPECT_EQ(sim::io::ObjectReferenceCount(top), 1);
  ObDereferenceObject(referenced);
  EXPECT_EQ(sim::io::ObjectReferenceCount(top), 0);
}

TEST_F(IrpStack, CompletionRoutinesRunBottomUpEachWithItsOwnDevice) {
  std::vector<std::string> order;
  CompletionThunk middleDone{[&](PDEVICE_OBJECT d, PIRP irp) {
    order.push_back("middle");
    EXPECT_EQ(d, middle);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, middle);
    return STATUS_SUCCESS;
  }};
  CompletionThunk topDone{[&](PDEVICE_OBJECT d, PIRP) {
    order.push_back("top");
    EXPECT_EQ(d, top);
    return STATUS_SUCCESS;
  }};
  topDispatch = [&](PDEVICE_OBJECT d, PIRP irp) { return PassDown(d, middle, irp, topDone); };
  middleDispatch = [&](PDEVICE_OBJECT d, PIRP irp) { return PassDown(d, bottom, irp, middleDone); };
  bottomDispatch = [&](PDEVICE_OBJECT d, PIRP irp) {
    order.push_back("bottom");
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, d);
    EXPECT_EQ(irp->CurrentLocation, 1);
    return Complete(irp, STATUS_SUCCESS, 0, IO_SERIAL_INCREMENT);
  };
  PFILE_OBJECT file;
  // The create goes to the top of the stack the name belongs to.
  topDispatch = [&, pass = topDispatch](PDEVICE_OBJECT d, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) return Complete(irp, STATUS_SUCCESS);
    return pass(d, irp);
  };
  ASSERT_EQ(sim::io::Open(u"\\Device\\Stacked", &file), STATUS_SUCCESS);
  Result result = sim::io::DeviceControl(file, CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 0);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.boost, IO_SERIAL_INCREMENT);
  EXPECT_EQ(order, (std::vector<std::string>{"bottom", "middle", "top"}));
}

TEST_F(IrpStack, RoutinesAreCalledOnlyForTheOutcomesTheyAskedFor) {
  int onSuccessOnly = 0, onErrorOnly = 0;
  CompletionThunk middleDone{[&](PDEVICE_OBJECT, PIRP) {
    ++onSuccessOnly;
    return STATUS_SUCCESS;
  }};
  CompletionThunk topDone{[&](PDEVICE_OBJECT, PIRP) {
    ++onErrorOnly;
    return STATUS_SUCCESS;
  }};
  topDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    topDone.Install(irp, false, true, false);
    return IoCallDriver(middle, irp);
  };
  middleDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    middleDone.Install(irp, true, false, false);
    return IoCallDriver(bottom, irp);
  };
  NTSTATUS outcome = STATUS_SUCCESS;
  bottomDispatch = [&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, outcome); };
  EXPECT_EQ(sim::io::Send(top, Flush()).status, STATUS_SUCCESS);
  EXPECT_EQ(onSuccessOnly, 1);
  EXPECT_EQ(onErrorOnly, 0);
  outcome = STATUS_DEVICE_DATA_ERROR;
  EXPECT_EQ(sim::io::Send(top, Flush()).status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(onSuccessOnly, 1);
  EXPECT_EQ(onErrorOnly, 1);
}

TEST_F(IrpStack, MoreProcessingRequiredHandsTheIrpBackUntilItIsCompletedAgain) {
  bool topSawIt = false;
  CompletionThunk topDone{[&](PDEVICE_OBJECT, PIRP irp) {
    topSawIt = true;
    EXPECT_EQ(irp->IoStatus.Information, 42u);  // what the middle driver set after taking it back
    return STATUS_SUCCESS;
  }};
  KEVENT back;
  KeInitializeEvent(&back, NotificationEvent, FALSE);
  CompletionThunk middleDone{[&](PDEVICE_OBJECT, PIRP) {
    KeSetEvent(&back, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }};
  topDispatch = [&](PDEVICE_OBJECT d, PIRP irp) { return PassDown(d, middle, irp, topDone); };
  middleDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    middleDone.Install(irp);
    NTSTATUS status = IoCallDriver(bottom, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(topSawIt);  // completion stopped at the middle driver
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    return Complete(irp, STATUS_SUCCESS, 42);
  };
  bottomDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    return PendAndCompleteFromDevice(irp);
  };
  Result result = sim::io::Send(top, Flush());
  EXPECT_TRUE(topSawIt);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 42u);
  EXPECT_EQ(result.dispatchStatus, STATUS_SUCCESS);
}

TEST_F(IrpStack, PendingPropagatesUpThroughLocationsWithoutCompletionRoutines) {
  bool pendingSeenAtTop = false;
  CompletionThunk topDone{[&](PDEVICE_OBJECT, PIRP irp) {
    pendingSeenAtTop = irp->PendingReturned;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  }};
  topDispatch = [&](PDEVICE_OBJECT d, PIRP irp) { return PassDown(d, middle, irp, topDone); };
  middleDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);  // no completion routine: the I/O manager propagates
    return IoCallDriver(bottom, irp);
  };
  PIRP held = nullptr;
  bottomDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  sim::io::Request request = sim::io::SendAsync(top, Flush());
  EXPECT_EQ(request.DispatchStatus(), STATUS_PENDING);
  EXPECT_FALSE(request.IsComplete());
  EXPECT_EQ(sim::io::InFlightIrpCount(), 1u);
  RunTask([&] { Complete(held, STATUS_SUCCESS, 0, IO_SERIAL_INCREMENT); });
  EXPECT_TRUE(request.IsComplete());
  EXPECT_TRUE(pendingSeenAtTop);
  EXPECT_EQ(request.PriorityBoost(), IO_SERIAL_INCREMENT);
  EXPECT_EQ(sim::io::InFlightIrpCount(), 0u);
}

TEST_F(IrpStack, SkippedLocationIsSharedWithTheLowerDriver) {
  PDEVICE_OBJECT seenByBottom = nullptr;
  topDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(middle, irp);
  };
  middleDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bottom, irp);
  };
  bottomDispatch = [&](PDEVICE_OBJECT d, PIRP irp) {
    seenByBottom = d;
    EXPECT_EQ(irp->CurrentLocation, 3);  // the top driver's own location, passed on twice
    return PendAndCompleteFromDevice(irp);
  };
  Result result = sim::io::Send(top, Flush());
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.dispatchStatus, STATUS_PENDING);
  EXPECT_EQ(seenByBottom, bottom);
}

// ---- Requests a driver builds ----------------------------------------------------------------

class BuiltRequest : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    targetDriver = LoadTestDriver(u"Target", [this](PDEVICE_OBJECT d, PIRP irp) { return dispatch(d, irp); });
    target = CreateDevice(targetDriver, u"\\Device\\Target");
  }
  PDRIVER_OBJECT targetDriver;
  PDEVICE_OBJECT target;
  DispatchFn dispatch;
};

TEST_F(BuiltRequest, BufferedDeviceControlWithEventCopiesOutputBackAndFreesTheIrp) {
  const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 7, METHOD_BUFFERED, FILE_ANY_ACCESS);
  dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, code);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 3u);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(std::string(buffer, 3), "in!");  // input in a system buffer of max(in, out)
    IoMarkIrpPending(irp);
    machine().Spawn("device", sim::TaskKind::Device, [irp, buffer] {
      std::memcpy(buffer, "output", 6);
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = 6;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
  };
  char output[8] = "-------";
  IO_STATUS_BLOCK iosb{};
  NTSTATUS returned = 0;
  RunTask([&] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    char input[] = "in!";
    PIRP irp = IoBuildDeviceIoControlRequest(code, target, input, 3, output, sizeof output, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    returned = IoCallDriver(target, irp);
    if (returned == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  });
  EXPECT_EQ(returned, STATUS_PENDING);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 6u);
  EXPECT_EQ(std::string(output, 7), "output-");  // exactly Information bytes copied back
  EXPECT_EQ(sim::io::InFlightIrpCount(), 0u);
}

TEST_F(BuiltRequest, FailedBufferedRequestCopiesNothingBack) {
  const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 8, METHOD_BUFFERED, FILE_ANY_ACCESS);
  dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    std::memset(irp->AssociatedIrp.SystemBuffer, 'x', 4);
    return Complete(irp, STATUS_DEVICE_DATA_ERROR, 4);
  };
  char output[4] = {'a', 'b', 'c', 'd'};
  IO_STATUS_BLOCK iosb{};
  RunTask([&] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, target, nullptr, 0, output, 4, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(target, irp), STATUS_DEVICE_DATA_ERROR);
  });
  EXPECT_EQ(iosb.Status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(std::string(output, 4), "abcd");
}

TEST_F(BuiltRequest, NeitherMethodPassesTheCallersPointers) {
  const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 9, METHOD_NEITHER, FILE_ANY_ACCESS);
  int argument = 5;
  dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.Type3InputBuffer, &argument);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    return Complete(irp, STATUS_SUCCESS);
  };
  RunTask([&] {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, target, &argument, sizeof argument, nullptr, 0, TRUE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(target, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);  // set even when the request did not pend
  });
}

TEST_F(BuiltRequest, SynchronousReadUsesTheTargetsBufferingMethod) {
  dispatch = [&](PDEVICE_OBJECT d, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->Parameters.Read.ByteOffset.QuadPart, 512);
    void* data = (d->Flags & DO_DIRECT_IO) ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                                           : irp->AssociatedIrp.SystemBuffer;
    EXPECT_NE(data, nullptr);
    std::memcpy(data, "data", 4);
    return Complete(irp, STATUS_SUCCESS, 4);
  };
  for (ULONG method : {ULONG(DO_BUFFERED_IO), ULONG(DO_DIRECT_IO)}) {
    target->Flags = (target->Flags & ~(DO_BUFFERED_IO | DO_DIRECT_IO)) | method;
    char buffer[6] = "_____";
    IO_STATUS_BLOCK iosb{};
    RunTask([&] {
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      LARGE_INTEGER offset;
      offset.QuadPart = 512;
      PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, target, buffer, 5, &offset, &event, &iosb);
      ASSERT_NE(irp, nullptr);
      IoCallDriver(target, irp);
    });
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(std::string(buffer), "data_") << "flags " << method;
  }
}

TEST_F(BuiltRequest, InjectedAllocationFailuresReturnNull) {
  RunTask([&] {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    sim::io::FailNextIrpAllocations(1, 1);  // the second allocation fails
    PIRP first = IoAllocateIrp(2, FALSE);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(0, target, nullptr, 0, nullptr, 0, FALSE, &event, &iosb), nullptr);
    PIRP third = IoAllocateIrp(2, FALSE);
    EXPECT_NE(third, nullptr);
    IoFreeIrp(first);
    IoFreeIrp(third);
    sim::io::FailNextMdlAllocations(1);
    char buffer[16];
    EXPECT_EQ(IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr), nullptr);
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    IoFreeMdl(mdl);
  });
}

TEST_F(BuiltRequest, MdlForNonPagedPoolMapsToTheBuffer) {
  RunTask([&] {
    void* block = ExAllocatePoolWithTag(NonPagedPool, 100, sim::pool::TagFromString("Test"));
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL mdl = IoAllocateMdl(static_cast<char*>(block) + 10, 64, FALSE, FALSE, irp);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(irp->MdlAddress, mdl);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 64u);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), static_cast<char*>(block) + 10);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), static_cast<char*>(block) + 10);
    IoFreeMdl(mdl);
    IoFreeIrp(irp);
    ExFreePoolWithTag(block, sim::pool::TagFromString("Test"));
  });
}

// ---- The application's requests --------------------------------------------------------------

class AppIo : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    driver = LoadTestDriver(u"Port", [this](PDEVICE_OBJECT d, PIRP irp) {
      PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
      majors.push_back(sp->MajorFunction);
      if (handler) return handler(d, irp);
      return Complete(irp, STATUS_SUCCESS);
    });
    device = CreateDevice(driver, u"\\Device\\Port0", DO_BUFFERED_IO, 16, TRUE);
  }
  PDRIVER_OBJECT driver;
  PDEVICE_OBJECT device;
  std::vector<UCHAR> majors;
  DispatchFn handler;
};

TEST_F(AppIo, OpenSendsCreateWithAFileObjectAndCloseSendsCleanupThenClose) {
  std::u16string fileName;
  PFILE_OBJECT seen = nullptr;
  handler = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_CREATE) {
      seen = sp->FileObject;
      fileName.assign(sp->FileObject->FileName.Buffer, sp->FileObject->FileName.Length / 2);
      EXPECT_EQ(sp->FileObject->DeviceObject, device);
    } else {
      EXPECT_EQ(sp->FileObject, seen);
    }
    return Complete(irp, STATUS_SUCCESS);
  };
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(sim::io::Open(u"\\Device\\Port0\\extra", &file), STATUS_SUCCESS);
  EXPECT_EQ(file, seen);
  EXPECT_EQ(fileName, u"\\extra");
  EXPECT_EQ(device->ReferenceCount, 1);
  NTSTATUS cleanup = 0;
  EXPECT_EQ(sim::io::Close(file, &cleanup), STATUS_SUCCESS);
  EXPECT_EQ(cleanup, STATUS_SUCCESS);
  EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(device->ReferenceCount, 0);
  EXPECT_EQ(sim::io::Close(file), STATUS_INVALID_HANDLE);
  EXPECT_EQ(sim::io::Read(file, 4).status, STATUS_INVALID_HANDLE);
}

TEST_F(AppIo, OpenIsRefusedWhereWindowsRefusesIt) {
  PFILE_OBJECT file = nullptr, second = nullptr;
  EXPECT_EQ(sim::io::Open(u"\\Device\\Nothing", &file), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(sim::io::Open(u"\\Device\\Port0", &file), STATUS_SUCCESS);
  EXPECT_EQ(sim::io::Open(u"\\Device\\Port0", &second), STATUS_ACCESS_DENIED);  // exclusive device
  EXPECT_EQ(second, nullptr);
  sim::io::Close(file);
  device->Flags |= DO_DEVICE_INITIALIZING;
  EXPECT_EQ(sim::io::Open(u"\\Device\\Port0", &file), STATUS_NO_SUCH_DEVICE);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  handler = [&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_DELETE_PENDING); };
  EXPECT_EQ(sim::io::Open(u"\\Device\\Port0", &file), STATUS_DELETE_PENDING);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(device->ReferenceCount, 0);  // a failed open leaves no reference
}

TEST_F(AppIo, SymbolicLinksAndNamesAreCaseInsensitive) {
  ASSERT_EQ(sim::io::CreateSymbolicLink(u"\\DosDevices\\COM7", u"\\Device\\Port0"), STATUS_SUCCESS);
  EXPECT_EQ(sim::io::CreateSymbolicLink(u"\\dosdevices\\com7", u"\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(sim::io::FindDevice(u"\\DOSDEVICES\\com7"), device);
  PFILE_OBJECT file;
  ASSERT_EQ(sim::io::Open(u"\\DosDevices\\COM7", &file), STATUS_SUCCESS);
  sim::io::Close(file);
  EXPECT_EQ(sim::io::DeleteSymbolicLink(u"\\DosDevices\\COM7"), STATUS_SUCCESS);
  EXPECT_EQ(sim::io::FindDevice(u"\\DosDevices\\COM7"), nullptr);
}

TEST_F(AppIo, BufferedReadWriteAndDeviceControl) {
  std::vector<uint8_t> written;
  handler = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    switch (sp->MajorFunction) {
      case IRP_MJ_WRITE:
        written.assign(buffer, buffer + sp->Parameters.Write.Length);
        return Complete(irp, STATUS_SUCCESS, sp->Parameters.Write.Length, IO_SERIAL_INCREMENT);
      case IRP_MJ_READ:
        EXPECT_EQ(sp->Parameters.Read.Length, 10u);
        std::memcpy(buffer, "abc", 3);
        return Complete(irp, STATUS_SUCCESS, 3);
      case IRP_MJ_DEVICE_CONTROL:
        EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 2u);
        EXPECT_EQ(buffer[0], 0x11);
        buffer[0] = static_cast<uint8_t>(buffer[0] + buffer[1]);
        return Complete(irp, STATUS_BUFFER_OVERFLOW, 1);  // a warning still copies back
      default:
        return Complete(irp, STATUS_SUCCESS);
    }
  };
  PFILE_OBJECT file;
  ASSERT_EQ(sim::io::Open(u"\\Device\\Port0", &file), STATUS_SUCCESS);
  auto data = Bytes("hello");
  Result write = sim::io::Write(file, data);
  EXPECT_EQ(write.status, STATUS_SUCCESS);
  EXPECT_EQ(write.information, 5u);
  EXPECT_EQ(write.boost, IO_SERIAL_INCREMENT);
  EXPECT_EQ(written, data);
  Result read = sim::io::Read(file, 10);
  EXPECT_EQ(read.output, Bytes("abc"));
  std::vector<uint8_t> input{0x11, 0x22};
  Result ioctl = sim::io::DeviceControl(file, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 3, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                        input, 4);
  EXPECT_EQ(ioctl.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(ioctl.output, std::vector<uint8_t>{0x33});
  sim::io::Close(file);
}

TEST_F(AppIo, DirectReadGoesThroughAnMdl) {
  device->Flags = (device->Flags & ~DO_BUFFERED_IO) | DO_DIRECT_IO;
  handler = [&](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    auto* data = static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    std::memcpy(data, "xy", 2);
    return Complete(irp, STATUS_SUCCESS, 2);
  };
  PFILE_OBJECT file;
  ASSERT_EQ(sim::io::Open(u"\\Device\\Port0", &file), STATUS_SUCCESS);
  EXPECT_EQ(sim::io::Read(file, 8).output, Bytes("xy"));
  sim::io::Close(file);
}

TEST_F(AppIo, AsynchronousRequestCompletesLaterWithItsBoost) {
  PIRP held = nullptr;
  handler = [&](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  PFILE_OBJECT file;
  ASSERT_EQ(sim::io::Open(u"\\Device\\Port0", &file), STATUS_SUCCESS);
  sim::io::Request read = sim::io::ReadAsync(file, 4);
  EXPECT_EQ(read.DispatchStatus(), STATUS_PENDING);
  EXPECT_FALSE(read.IsComplete());
  EXPECT_EQ(read.Irp(), held);
  EXPECT_EQ(read.Status(), STATUS_PENDING);
  RunTask([&] {
    std::memcpy(held->AssociatedIrp.SystemBuffer, "zz", 2);
    Complete(held, STATUS_SUCCESS, 2, IO_SERIAL_INCREMENT);
  });
  ASSERT_TRUE(read.IsComplete());
  EXPECT_EQ(read.Status(), STATUS_SUCCESS);
  EXPECT_EQ(read.Output(), Bytes("zz"));
  EXPECT_EQ(read.PriorityBoost(), IO_SERIAL_INCREMENT);
  EXPECT_EQ(read.Irp(), nullptr);
  sim::io::Close(file);
}

TEST_F(AppIo, WaitFromAnApplicationTaskBlocksUntilCompletion) {
  handler = [&](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_WRITE) return Complete(irp, STATUS_SUCCESS);
    IoMarkIrpPending(irp);
    machine().Spawn("device", sim::TaskKind::Device, [irp] {
      LARGE_INTEGER delay = RelativeMs(20);
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      Complete(irp, STATUS_SUCCESS, 1);
    });
    return STATUS_PENDING;
  };
  sim::VirtualTime finished = 0;
  RunTask([&] {
    PFILE_OBJECT file;
    ASSERT_EQ(sim::io::Open(u"\\Device\\Port0", &file), STATUS_SUCCESS);
    std::vector<uint8_t> one{1};
    EXPECT_EQ(sim::io::Write(file, one).status, STATUS_SUCCESS);
    finished = machine().Now();
    sim::io::Close(file);
  });
  EXPECT_GE(finished, 20 * sim::kMillisecond);
}

TEST_F(AppIo, UnhandledMajorFunctionGetsTheSystemDefault) {
  PDRIVER_OBJECT bare = nullptr;
  ASSERT_EQ(sim::io::LoadDriver(u"Bare", EmptyEntry, u"\\REGISTRY\\X", &bare), STATUS_SUCCESS);
  PDEVICE_OBJECT plain = CreateDevice(bare, u"\\Device\\Bare");
  sim::io::RawIrp raw;
  raw.major = IRP_MJ_READ;
  EXPECT_EQ(sim::io::Send(plain, raw).status, STATUS_INVALID_DEVICE_REQUEST);
}

// ---- Devices and drivers ---------------------------------------------------------------------

class Devices : public IoTest {};

NTSTATUS NTAPI RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path);
NTSTATUS NTAPI RecordingAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
VOID NTAPI RecordingUnload(PDRIVER_OBJECT driver);
std::u16string g_path;
KIRQL g_entryIrql = 99;
int g_unloads = 0;
PVOID g_block = nullptr;
bool g_clearInitialising = true;

NTSTATUS NTAPI RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  g_path.assign(path->Buffer, path->Length / sizeof(WCHAR));
  g_entryIrql = KeGetCurrentIrql();
  driver->DriverUnload = RecordingUnload;
  driver->DriverExtension->AddDevice = RecordingAddDevice;
  g_block = ExAllocatePoolWithTag(PagedPool, 32, sim::pool::TagFromString("BR39"));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RecordingAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* extension = static_cast<uint8_t*>(fdo->DeviceExtension);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(extension[i], 0);
  EXPECT_TRUE(fdo->Flags & DO_DEVICE_INITIALIZING);
  IoAttachDeviceToDeviceStack(fdo, pdo);
  if (g_clearInitialising) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI RecordingUnload(PDRIVER_OBJECT) {
  ++g_unloads;
}

TEST_F(Devices, DriverEntryAddDeviceAndUnloadWithLeakReport) {
  g_unloads = 0;
  g_clearInitialising = true;
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(sim::io::LoadDriver(u"Rec", RecordingEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\Services\\Rec", &driver),
            STATUS_SUCCESS);
  EXPECT_EQ(g_path, u"\\REGISTRY\\MACHINE\\SYSTEM\\Services\\Rec");
  EXPECT_EQ(g_entryIrql, PASSIVE_LEVEL);
  EXPECT_TRUE(sim::io::IsLoaded(driver));
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice();
  ASSERT_NE(pdo, nullptr);
  EXPECT_EQ(sim::io::AddDevice(driver, pdo), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = pdo->AttachedDevice;
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(fdo->StackSize, 2);
  EXPECT_EQ(sim::io::DevicesOf(driver), std::vector<PDEVICE_OBJECT>{fdo});
  IoDetachDevice(pdo);
  IoDeleteDevice(fdo);
  EXPECT_TRUE(sim::io::UnloadDriver(driver));
  EXPECT_EQ(g_unloads, 1);
  EXPECT_FALSE(sim::io::IsLoaded(driver));
  // The unload routine forgot the block DriverEntry allocated.
  auto violations = machine().Violations();
  TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "pool leak at unload");
  EXPECT_NE(violations[0].detail.find("BR39"), std::string::npos) << violations[0].detail;
  ExFreePool(g_block);
}

TEST_F(Devices, NameCollisionAndDeletionFreeingTheName) {
  PDRIVER_OBJECT driver = LoadTestDriver(u"Names", [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
  PDEVICE_OBJECT first = CreateDevice(driver, u"\\Device\\Same");
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\DEVICE\\same");
  PDEVICE_OBJECT second = reinterpret_cast<PDEVICE_OBJECT>(1);
  EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second, nullptr);
  IoDeleteDevice(first);
  EXPECT_TRUE(sim::io::IsDeleted(first));
  EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_SUCCESS);
  EXPECT_EQ(sim::io::FindDevice(u"\\Device\\Same"), second);
  EXPECT_EQ(second->StackSize, 1);
  EXPECT_EQ(sim::io::DeviceName(second), u"\\DEVICE\\same");
}

TEST_F(Devices, WdmVersionFollowsTheSimulatedWindows) {
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
  EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x20));
  EXPECT_FALSE(IoIsWdmVersionAvailable(2, 0));
  machine().SetVersion(sim::Machine::WindowsVersion::WindowsXP);
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x20));
  EXPECT_TRUE(IoIsWdmVersionAvailable(0, 0x90));
  EXPECT_FALSE(IoIsWdmVersionAvailable(1, 0x30));
}

TEST_F(Devices, PnpRequestsGoToTheTopOfTheStackWithNotSupportedPreset) {
  sim::io::PhysicalDeviceOptions options;
  options.name = u"\\Device\\UsbPdo";
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice(options);
  NTSTATUS arrived = 0;
  UCHAR minor = 0xFF;
  PDRIVER_OBJECT driver = LoadTestDriver(u"Fdo", [&](PDEVICE_OBJECT, PIRP irp) {
    arrived = irp->IoStatus.Status;
    minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(pdo, irp);
  });
  PDEVICE_OBJECT fdo = CreateDevice(driver);
  IoAttachDeviceToDeviceStack(fdo, pdo);
  DEVICE_CAPABILITIES caps{};
  Result result = sim::io::SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION sp) {
    sp->Parameters.DeviceCapabilities.Capabilities = &caps;
  });
  EXPECT_EQ(arrived, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(minor, IRP_MN_QUERY_CAPABILITIES);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
  // What the bus does not know keeps the preset status.
  EXPECT_EQ(sim::io::SendPnp(pdo, IRP_MN_QUERY_BUS_INFORMATION).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(sim::io::SendPnp(pdo, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
}

TEST_F(Devices, PhysicalDeviceHandlerSeesRequestsSentDown) {
  int urbs = 0;
  PDEVICE_OBJECT pdo = sim::io::CreatePhysicalDevice({u"", FILE_DEVICE_UNKNOWN, DO_POWER_PAGABLE,
                                                      [&](PDEVICE_OBJECT d, PIRP irp) {
                                                        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction !=
                                                            IRP_MJ_INTERNAL_DEVICE_CONTROL)
                                                          return sim::io::DefaultBusDispatch(d, irp);
                                                        ++urbs;
                                                        return Complete(irp, STATUS_SUCCESS);
                                                      }});
  EXPECT_EQ(sim::io::DeviceName(pdo).substr(0, 8), u"\\Device\\");
  EXPECT_EQ(sim::io::InternalDeviceControl(pdo, 0x220003, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(urbs, 1);
  EXPECT_EQ(sim::io::SendPnp(pdo, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(urbs, 1);
}

}  // namespace
