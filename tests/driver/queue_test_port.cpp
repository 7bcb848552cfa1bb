#include "queue_test_port.h"

#include <cstring>
#include <optional>
#include <stdexcept>

#include "core/entry.h"
#include "core/helpers.h"
#include "datapath/read.h"
#include "datapath/request_queue.h"
#include "datapath/request_ref.h"
#include "datapath/write.h"

namespace queue_test {
namespace {

World* g_world = nullptr;

constexpr ULONG kMaxUlong = 0xFFFFFFFF;
constexpr UCHAR kTestMajors[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE,          IRP_MJ_CLEANUP,
                                 IRP_MJ_READ,   IRP_MJ_WRITE,          IRP_MJ_DEVICE_CONTROL};

PortExtension* PortOf(PDEVICE_OBJECT device) { return static_cast<PortExtension*>(device->DeviceExtension); }

LARGE_INTEGER Milliseconds(ULONG ms) {
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
  return due;
}

SERIAL_TIMEOUTS CopyTimeouts(PortExtension* port) {
  AcquireOwnedSpinLock(&port->ControlLock);
  SERIAL_TIMEOUTS timeouts = port->Timeouts;
  ReleaseOwnedSpinLock(&port->ControlLock);
  return timeouts;
}

// ---- Read kind -----------------------------------------------------------------------------

NTSTATUS TestStartRead(PortExtension* port);

BOOLEAN TestReadTakeBack(PortExtension* port) {
  AcquireOwnedSpinLock(&port->ReceiveLock);
  if (g_world->readAttached) {
    g_world->readAttached = false;
    port->CurrentRead->IoStatus.Information = g_world->readPartial;
    RequestRefClear(port->CurrentRead, REF_DATA_PATH);
  }
  ReleaseOwnedSpinLock(&port->ReceiveLock);
  return FALSE;
}

void FinishRead(PortExtension* port, KIRQL irql, NTSTATUS status, ULONG bit, bool takeBack) {
  FinishCurrentRequest(port, takeBack ? TestReadTakeBack : nullptr, irql, status, &port->CurrentRead,
                       &port->ReadQueue, &port->ReadIntervalTimer, &port->ReadTotalTimer, TestStartRead,
                       TakeNextRequest, bit);
}

VOID NTAPI TestReadCancel(PDEVICE_OBJECT device, PIRP irp) {
  PortExtension* port = PortOf(device);
  port->ReadProgress = READ_ENDED_CANCEL;
  FinishRead(port, irp->CancelIrql, STATUS_CANCELLED, REF_CANCEL_ROUTINE, true);
}

VOID NTAPI TestReadCompleteDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* port = static_cast<PortExtension*>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  port->ReadProgress = READ_ENDED_COMPLETE;
  FinishRead(port, irql, STATUS_SUCCESS, REF_DATA_PATH, false);
}

VOID NTAPI TestReadTotalDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* port = static_cast<PortExtension*>(context);
  if (g_world->onReadTimerDpc) g_world->onReadTimerDpc("total");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  port->ReadProgress = READ_ENDED_TOTAL;
  FinishRead(port, irql, STATUS_TIMEOUT, REF_TOTAL_TIMER, true);
}

// Finishes the read by how it ended; a read still running when its interval runs out times out.
VOID NTAPI TestReadIntervalDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* port = static_cast<PortExtension*>(context);
  if (g_world->onReadTimerDpc) g_world->onReadTimerDpc("interval");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  NTSTATUS status = port->ReadProgress == READ_ENDED_CANCEL     ? STATUS_CANCELLED
                    : port->ReadProgress == READ_ENDED_COMPLETE ? STATUS_SUCCESS
                                                                : STATUS_TIMEOUT;
  FinishRead(port, irql, status, REF_INTERVAL_TIMER, true);
}

NTSTATUS TestStartRead(PortExtension* port) {
  bool first = true;
  NTSTATUS returned = STATUS_SUCCESS;
  for (;;) {
    PIRP irp = port->CurrentRead;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    if (stack->MajorFunction != IRP_MJ_READ) {
      // A queue-size request: installing its buffer is the receive path's business.
      FreePoolAndClear(&stack->Parameters.Others.Argument4);
      irp->IoStatus.Status = STATUS_SUCCESS;
    } else {
      SERIAL_TIMEOUTS timeouts = CopyTimeouts(port);
      bool atOnce = timeouts.ReadIntervalTimeout == kMaxUlong && timeouts.ReadTotalTimeoutMultiplier == 0 &&
                    timeouts.ReadTotalTimeoutConstant == 0;
      bool interval = timeouts.ReadIntervalTimeout != 0 && timeouts.ReadIntervalTimeout != kMaxUlong;
      if (atOnce) {
        irp->IoStatus.Status = STATUS_SUCCESS;
      } else {
        KeCancelTimer(&port->ReadTotalTimer);
        KeCancelTimer(&port->ReadIntervalTimer);
        RequestRefReset(irp);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (irp->Cancel) {
          IoReleaseCancelSpinLock(irql);
          status = STATUS_CANCELLED;
          irp->IoStatus.Status = status;
          irp->IoStatus.Information = 0;
        } else {
          port->ReadProgress = 0;
          IoSetCancelRoutine(irp, TestReadCancel);
          RequestRefSet(irp, REF_CANCEL_ROUTINE);
          if (timeouts.ReadTotalTimeoutConstant != 0) {
            RequestRefSet(irp, REF_TOTAL_TIMER);
            KeSetTimer(&port->ReadTotalTimer, Milliseconds(timeouts.ReadTotalTimeoutConstant),
                       &port->ReadTotalTimeoutDpc);
          }
          if (interval) {
            RequestRefSet(irp, REF_INTERVAL_TIMER);
            KeSetTimer(&port->ReadIntervalTimer, Milliseconds(timeouts.ReadIntervalTimeout),
                       &port->ReadIntervalTimeoutDpc);
          }
          AcquireOwnedSpinLock(&port->ReceiveLock);
          g_world->readAttached = true;
          RequestRefSet(irp, REF_DATA_PATH);
          ReleaseOwnedSpinLock(&port->ReceiveLock);
          IoMarkIrpPending(irp);
          IoReleaseCancelSpinLock(irql);
          return first ? STATUS_PENDING : returned;
        }
      }
    }
    if (first) returned = irp->IoStatus.Status;
    first = false;
    PIRP next = nullptr;
    TakeNextRequest(&port->CurrentRead, &port->ReadQueue, &next, TRUE);
    if (next == nullptr) return returned;
  }
}

// ---- Write kind ----------------------------------------------------------------------------

NTSTATUS TestStartWrite(PortExtension* port);

VOID TestTakeNextWrite(PIRP* current, PLIST_ENTRY queue, PIRP* next, BOOLEAN completeCurrent) {
  PortExtension* port = CONTAINING_RECORD(current, PortExtension, CurrentWrite);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (*current != nullptr && IoGetCurrentIrpStackLocation(*current)->MajorFunction == IRP_MJ_WRITE)
    port->QueuedCharCount -= IoGetCurrentIrpStackLocation(*current)->Parameters.Write.Length;
  IoReleaseCancelSpinLock(irql);
  TakeNextRequest(current, queue, next, completeCurrent);
}

BOOLEAN TestWriteTakeBack(PortExtension* port) {
  AcquireOwnedSpinLock(&port->WriteLock);
  if (g_world->writeAttached) {
    g_world->writeAttached = false;
    RequestRefClear(port->CurrentWrite, REF_DATA_PATH);
  }
  ReleaseOwnedSpinLock(&port->WriteLock);
  return FALSE;
}

void FinishWrite(PortExtension* port, KIRQL irql, NTSTATUS status, ULONG bit, bool takeBack) {
  FinishCurrentRequest(port, takeBack ? TestWriteTakeBack : nullptr, irql, status, &port->CurrentWrite,
                       &port->WriteQueue, nullptr, &port->WriteTotalTimer, TestStartWrite, TestTakeNextWrite, bit);
}

VOID NTAPI TestWriteCancel(PDEVICE_OBJECT device, PIRP irp) {
  FinishWrite(PortOf(device), irp->CancelIrql, STATUS_CANCELLED, REF_CANCEL_ROUTINE, true);
}

VOID NTAPI TestWriteCompleteDpc(PKDPC, PVOID context, PVOID, PVOID) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  FinishWrite(static_cast<PortExtension*>(context), irql, STATUS_SUCCESS, REF_DATA_PATH, false);
}

VOID NTAPI TestWriteTimeoutDpc(PKDPC, PVOID context, PVOID, PVOID) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  FinishWrite(static_cast<PortExtension*>(context), irql, STATUS_TIMEOUT, REF_TOTAL_TIMER, true);
}

NTSTATUS TestStartWrite(PortExtension* port) {
  bool first = true;
  NTSTATUS returned = STATUS_SUCCESS;
  for (;;) {
    PIRP irp = port->CurrentWrite;
    SERIAL_TIMEOUTS timeouts = CopyTimeouts(port);
    RequestRefReset(irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (!irp->Cancel) {
      IoSetCancelRoutine(irp, TestWriteCancel);
      RequestRefSet(irp, REF_CANCEL_ROUTINE);
      if (timeouts.WriteTotalTimeoutConstant != 0) {
        RequestRefSet(irp, REF_TOTAL_TIMER);
        KeSetTimer(&port->WriteTotalTimer, Milliseconds(timeouts.WriteTotalTimeoutConstant), &port->WriteTimeoutDpc);
      }
      AcquireOwnedSpinLock(&port->WriteLock);
      g_world->writeAttached = true;
      RequestRefSet(irp, REF_DATA_PATH);
      ReleaseOwnedSpinLock(&port->WriteLock);
      IoMarkIrpPending(irp);
      IoReleaseCancelSpinLock(irql);
      return first ? STATUS_PENDING : returned;
    }
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    if (first) returned = STATUS_CANCELLED;
    first = false;
    PIRP next = nullptr;
    TestTakeNextWrite(&port->CurrentWrite, &port->WriteQueue, &next, TRUE);
    if (next == nullptr) return returned;
  }
}

// ---- Purge kind ----------------------------------------------------------------------------

NTSTATUS TestStartPurge(PortExtension* port) {
  for (;;) {
    PIRP irp = port->CurrentPurge;
    ULONG mask = *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer);
    if (mask & SERIAL_PURGE_TXABORT) CancelAllRequests(port->Self, &port->WriteQueue, &port->CurrentWrite);
    if (mask & SERIAL_PURGE_RXABORT) CancelAllRequests(port->Self, &port->ReadQueue, &port->CurrentRead);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    PIRP next = nullptr;
    TakeNextRequest(&port->CurrentPurge, &port->PurgeQueue, &next, TRUE);
    if (next == nullptr) return STATUS_SUCCESS;
  }
}

// ---- Dispatch ------------------------------------------------------------------------------

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI TestDispatchOpenClose(PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS); }

NTSTATUS NTAPI TestDispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
  PortExtension* port = PortOf(device);
  CancelAllRequests(device, &port->WriteQueue, &port->CurrentWrite);
  CancelAllRequests(device, &port->ReadQueue, &port->CurrentRead);
  CancelAllRequests(device, &port->PurgeQueue, &port->CurrentPurge);
  return CompleteNow(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI TestDispatchIo(PDEVICE_OBJECT device, PIRP irp) {
  PortExtension* port = PortOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (FailIfErrorAbort(device, irp) != STATUS_SUCCESS) return STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  if (g_world->cancelOnArrival) IoCancelIrp(irp);

  switch (stack->MajorFunction) {
    case IRP_MJ_READ:
      if (stack->Parameters.Read.Length == 0) return CompleteNow(irp, STATUS_SUCCESS);
      return StartOrQueueRequest(port, irp, &port->ReadQueue, &port->CurrentRead, TestStartRead);
    case IRP_MJ_WRITE:
      if (stack->Parameters.Write.Length == 0) return CompleteNow(irp, STATUS_SUCCESS);
      return StartOrQueueRequest(port, irp, &port->WriteQueue, &port->CurrentWrite, TestStartWrite);
    default:
      break;
  }
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_GET_COMMSTATUS: {
      if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SERIAL_STATUS))
        return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
      auto* status = static_cast<PSERIAL_STATUS>(irp->AssociatedIrp.SystemBuffer);
      RtlZeroMemory(status, sizeof *status);
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      status->AmountInOutQueue = port->QueuedCharCount;
      IoReleaseCancelSpinLock(irql);
      status->Errors = port->ErrorFlags;
      port->ErrorFlags = 0;
      return CompleteNow(irp, STATUS_SUCCESS, sizeof(SERIAL_STATUS));
    }
    case IOCTL_SERIAL_SET_QUEUE_SIZE: {
      if (inputLength < sizeof(SERIAL_QUEUE_SIZE)) return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
      ULONG size = static_cast<PSERIAL_QUEUE_SIZE>(irp->AssociatedIrp.SystemBuffer)->InSize;
      PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, size, TAG_BR40);
      if (buffer == nullptr) return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES);
      stack->Parameters.Others.Argument4 = buffer;
      return StartOrQueueRequest(port, irp, &port->ReadQueue, &port->CurrentRead, TestStartRead);
    }
    case IOCTL_SERIAL_PURGE:
      if (inputLength < sizeof(ULONG)) return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
      return StartOrQueueRequest(port, irp, &port->PurgeQueue, &port->CurrentPurge, TestStartPurge);
    default:
      return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// ---- Test bus ------------------------------------------------------------------------------

void BusCompleteCancelled(PIRP irp) {
  URB_STATUS(static_cast<PURB>(URB_FROM_IRP(irp))) = USBD_STATUS_CANCELED;
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI BusCancel(PDEVICE_OBJECT, PIRP irp) {
  std::vector<PIRP>& held = g_world->busHeld;
  std::erase(held, irp);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  if (g_world->cancelCompletesAfter == 0) {
    BusCompleteCancelled(irp);
    return;
  }
  ++g_world->cancelsPending;
  const sim::VirtualTime after = g_world->cancelCompletesAfter;
  sim::Machine::Current().Spawn("host controller", sim::TaskKind::Device, [irp, after] {
    LARGE_INTEGER due;
    due.QuadPart = -after;
    KeDelayExecutionThread(KernelMode, FALSE, &due);
    --g_world->cancelsPending;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    BusCompleteCancelled(irp);
    KeLowerIrql(old);
  });
}

std::optional<NTSTATUS> BusTake(PIRP irp, PURB urb) {
  if (urb->UrbHeader.Function == URB_FUNCTION_RESET_PIPE && urb->UrbPipeRequest.PipeHandle == g_world->dataOutPipe) {
    ++g_world->pipeResets;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return CompleteNow(irp, STATUS_SUCCESS);
  }
  if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
      urb->UrbBulkOrInterruptTransfer.PipeHandle != g_world->dataOutPipe)
    return std::nullopt;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, BusCancel);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    IoReleaseCancelSpinLock(irql);
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
  }
  g_world->busHeld.push_back(irp);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

// The write path's completion routine as the queue machinery asks it to be (request_queue.h).
NTSTATUS NTAPI TestTransferComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* port = static_cast<PortExtension*>(context);
  const NTSTATUS status = irp->IoStatus.Status;
  AcquireOwnedSpinLock(&port->WriteLock);
  const bool claimed = irp->Cancel;
  g_world->transfers.push_back({status, claimed});
  port->DataWriteIrp = nullptr;
  port->WriteInFlight = WRITE_IN_FLIGHT_NONE;
  if (!claimed) {
    IoFreeMdl(irp->MdlAddress);
    IoFreeIrp(irp);
  }
  ReleaseOwnedSpinLock(&port->WriteLock);
  if (claimed && g_world->followUpsOnClaim > 0) {
    // Against the rules: a transfer started while the canceller waits must not escape it.
    --g_world->followUpsOnClaim;
    SendTransfer();
  }
  if (claimed || !NT_SUCCESS(status)) KeSetEvent(&port->DataWriteDoneEvent, EVENT_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI OwnRequestComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* own = static_cast<OwnRequest*>(context);
  own->complete = true;
  own->status = irp->IoStatus.Status;
  own->information = irp->IoStatus.Information;
  own->order = InterlockedIncrement(&g_world->ownCompleted) - 1;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

void SetUp(harness::DriverHarness& h, World& world) {
  g_world = &world;
  world.fixture = std::make_unique<harness::AdapterFixture>(h);
  world.fixture->Start();
  world.adapter = world.fixture->adapter();
  world.port = world.fixture->port(1);
  PortExtension* port = world.port;
  world.dataOutPipe = port->DataOutPipe->PipeHandle;

  PDRIVER_OBJECT driver = h.driver();
  driver->MajorFunction[IRP_MJ_CREATE] = TestDispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = TestDispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = TestDispatchCleanup;
  driver->MajorFunction[IRP_MJ_READ] = TestDispatchIo;
  driver->MajorFunction[IRP_MJ_WRITE] = TestDispatchIo;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TestDispatchIo;
  h.RunTask("test dpcs", [&] {
    KeInitializeDpc(&port->ReadCompleteDpc, TestReadCompleteDpc, port);
    KeInitializeDpc(&port->ReadTotalTimeoutDpc, TestReadTotalDpc, port);
    KeInitializeDpc(&port->ReadIntervalTimeoutDpc, TestReadIntervalDpc, port);
    KeInitializeDpc(&port->WriteCompleteDpc, TestWriteCompleteDpc, port);
    KeInitializeDpc(&port->WriteTimeoutDpc, TestWriteTimeoutDpc, port);
  });
  port->IsOpen = TRUE;
  world.fixture->DivertUrbs(BusTake);

  NTSTATUS status = sim::io::OpenDevice(port->Self, &world.file);
  if (status != STATUS_SUCCESS) throw std::runtime_error("open failed: " + harness::StatusText(status));
}

void TearDown(harness::DriverHarness& h, World& world) {
  if (world.file != nullptr) sim::io::Close(world.file);
  world.file = nullptr;
  // Cleanup cancelled whatever of the test's own requests was left.
  h.RunUntilIdle();
  if (!world.own.empty()) {
    h.RunTask("free own requests", [&] {
      for (OwnRequest& own : world.own)
        if (own.complete) IoFreeIrp(own.irp);
    });
  }
  h.RunUntilIdle();
  // The port's own routines back, for its removal.
  if (world.fixture) {
    PortExtension* port = world.port;
    world.fixture->DivertUrbs({});
    port->IsOpen = FALSE;
    h.RunTask("own dpcs", [&] {
      KeInitializeDpc(&port->ReadCompleteDpc, ReadCompleteDpc, port);
      KeInitializeDpc(&port->ReadTotalTimeoutDpc, ReadTotalTimeoutDpc, port);
      KeInitializeDpc(&port->ReadIntervalTimeoutDpc, ReadIntervalTimeoutDpc, port);
      KeInitializeDpc(&port->WriteCompleteDpc, WriteCompleteDpc, port);
      KeInitializeDpc(&port->WriteTimeoutDpc, WriteTimeoutDpc, port);
    });
    for (UCHAR major : kTestMajors) h.driver()->MajorFunction[major] = DispatchIo;
    world.fixture->StopAndRemove();
    world.fixture.reset();
  }
  if (h.loaded()) h.Unload();
  g_world = nullptr;
}

OwnRequest& SendOwn(UCHAR major, ULONG length, NTSTATUS* dispatched) {
  PDEVICE_OBJECT device = g_world->port->Self;
  OwnRequest& own = g_world->own.emplace_back();
  own.irp = IoAllocateIrp(device->StackSize, FALSE);
  if (own.irp == nullptr) throw std::runtime_error("no request");
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(own.irp);
  next->MajorFunction = major;
  if (major == IRP_MJ_READ)
    next->Parameters.Read.Length = length;
  else
    next->Parameters.Write.Length = length;
  IoSetCompletionRoutine(own.irp, OwnRequestComplete, &own, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(device, own.irp);
  if (dispatched != nullptr) *dispatched = status;
  return own;
}

void DeliverRead(PIRP expected) {
  PortExtension* port = g_world->port;
  AcquireOwnedSpinLock(&port->ReceiveLock);
  if (g_world->readAttached && (expected == nullptr || port->CurrentRead == expected)) {
    g_world->readAttached = false;
    port->CurrentRead->IoStatus.Information = IoGetCurrentIrpStackLocation(port->CurrentRead)->Parameters.Read.Length;
    KeInsertQueueDpc(&port->ReadCompleteDpc, nullptr, nullptr);
  }
  ReleaseOwnedSpinLock(&port->ReceiveLock);
}

void DeliverWrite() {
  PortExtension* port = g_world->port;
  AcquireOwnedSpinLock(&port->WriteLock);
  if (g_world->writeAttached) {
    g_world->writeAttached = false;
    port->CurrentWrite->IoStatus.Information = IoGetCurrentIrpStackLocation(port->CurrentWrite)->Parameters.Write.Length;
    KeInsertQueueDpc(&port->WriteCompleteDpc, nullptr, nullptr);
  }
  ReleaseOwnedSpinLock(&port->WriteLock);
}

void SendTransfer() {
  PortExtension* port = g_world->port;
  PDEVICE_OBJECT lower = port->Adapter->LowerDevice;
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(lower->StackSize + 1), FALSE);
  if (irp == nullptr) throw std::runtime_error("no transfer request");
  if (IoAllocateMdl(g_world->bytes, sizeof g_world->bytes, FALSE, FALSE, irp) == nullptr)
    throw std::runtime_error("no MDL");
  URB& urb = g_world->urbs.emplace_back();
  RtlZeroMemory(&urb, sizeof urb);
  urb.UrbHeader.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb.UrbBulkOrInterruptTransfer.PipeHandle = g_world->dataOutPipe;
  urb.UrbBulkOrInterruptTransfer.TransferBufferLength = sizeof g_world->bytes;
  urb.UrbBulkOrInterruptTransfer.TransferBufferMDL = irp->MdlAddress;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &urb;
  IoSetCompletionRoutine(irp, TestTransferComplete, port, TRUE, TRUE, TRUE);
  AcquireOwnedSpinLock(&port->WriteLock);
  port->DataWriteIrp = irp;
  // What a chunk is to the write path once its write has been taken back.
  port->WriteInFlight = WRITE_IN_FLIGHT_ABANDONED;
  ReleaseOwnedSpinLock(&port->WriteLock);
  IoCallDriver(lower, irp);
}

bool BusCompleteOldest(bool succeed) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (g_world->busHeld.empty()) {
    IoReleaseCancelSpinLock(irql);
    return false;
  }
  PIRP irp = g_world->busHeld.front();
  if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
    // Its cancel routine is about to run and completes it.
    IoReleaseCancelSpinLock(irql);
    return false;
  }
  g_world->busHeld.erase(g_world->busHeld.begin());
  IoReleaseCancelSpinLock(irql);
  auto* urb = static_cast<PURB>(URB_FROM_IRP(irp));
  urb->UrbHeader.Status = succeed ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
  irp->IoStatus.Status = succeed ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  irp->IoStatus.Information = 0;
  // The host controller completes at DISPATCH_LEVEL.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
  return true;
}

std::vector<uint8_t> Bytes(size_t count) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>('a' + i % 26);
  return bytes;
}

std::vector<uint8_t> AsBytes(ULONG value) {
  std::vector<uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

}  // namespace queue_test
