// The immediate character: accepted one at a time, sent on the port's data OUT pipe as soon
// as no transfer is in flight (ahead of the rest of the write in progress), and ended by its
// transfer, its total timeout or its cancel routine.
#include "datapath/immediate.h"

#include "command/response.h"
#include "core/helpers.h"
#include "datapath/due_time.h"
#include "datapath/request_queue.h"
#include "datapath/request_ref.h"
#include "datapath/write.h"

static VOID NTAPI ImmediateCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The immediate kind's next-request step: there is no queue; the character leaves
// QueuedCharCount as its request is completed.
static VOID TakeNextImmediate(PIRP* Current, PLIST_ENTRY Queue, PIRP* Next, BOOLEAN CompleteCurrent) {
  PortExtension* Port = CONTAINING_RECORD(Current, PortExtension, ImmediateIrp);
  KIRQL CancelIrql;
  IoAcquireCancelSpinLock(&CancelIrql);
  ASSERT(Port->QueuedCharCount >= 1);
  Port->QueuedCharCount -= 1;
  IoReleaseCancelSpinLock(CancelIrql);
  TakeNextRequest(Current, Queue, Next, CompleteCurrent);
}

// Cancel spin lock held. A character not yet handed to the bus is withdrawn; one in flight
// goes out regardless, but no longer belongs to the request.
static BOOLEAN TakeImmediateFromTransfer(PortExtension* Port) {
  AcquireOwnedSpinLock(&Port->WriteLock);
  if (Port->ImmediatePending) {
    Port->ImmediatePending = FALSE;
    RequestRefClear(Port->ImmediateIrp, REF_DATA_PATH);
  } else if (Port->WriteInFlight == WRITE_IN_FLIGHT_IMMEDIATE) {
    Port->WriteInFlight = WRITE_IN_FLIGHT_ABANDONED;
    RequestRefClear(Port->ImmediateIrp, REF_DATA_PATH);
  }
  ReleaseOwnedSpinLock(&Port->WriteLock);
  return FALSE;
}

static VOID FinishImmediate(PortExtension* Port, PPORT_TAKE_BACK_ROUTINE TakeBack, KIRQL CancelIrql,
                            NTSTATUS Status, ULONG RefBit) {
  FinishCurrentRequest(Port, TakeBack, CancelIrql, Status, &Port->ImmediateIrp, NULL, NULL, &Port->ImmediateTimer,
                       NULL, TakeNextImmediate, RefBit);
}

NTSTATUS PortImmediateChar(PortExtension* Port, PIRP Irp) {
  KIRQL CancelIrql;
  IoAcquireCancelSpinLock(&CancelIrql);
  NTSTATUS Refusal = STATUS_SUCCESS;
  if (Port->ImmediateIrp != NULL) {
    Refusal = STATUS_INVALID_PARAMETER;
  } else if (Irp->Cancel) {
    Refusal = STATUS_CANCELLED;
  } else {
    Port->ImmediateIrp = Irp;
    Port->QueuedCharCount += 1;
  }
  IoReleaseCancelSpinLock(CancelIrql);
  if (Refusal != STATUS_SUCCESS) {
    Irp->IoStatus.Status = Refusal;
    Irp->IoStatus.Information = 0;
    CompleteRequest(Irp, IO_NO_INCREMENT);
    return Refusal;
  }

  IoMarkIrpPending(Irp);
  Irp->IoStatus.Status = STATUS_PENDING;
  AcquireOwnedSpinLock(&Port->ControlLock);
  SERIAL_TIMEOUTS Timeouts = Port->Timeouts;
  ReleaseOwnedSpinLock(&Port->ControlLock);
  BOOLEAN UseTotal = Timeouts.WriteTotalTimeoutMultiplier != 0 || Timeouts.WriteTotalTimeoutConstant != 0;
  LARGE_INTEGER DueTime =
      TotalTimeoutDueTime(1, Timeouts.WriteTotalTimeoutMultiplier, Timeouts.WriteTotalTimeoutConstant);
  RequestRefReset(Irp);

  IoAcquireCancelSpinLock(&CancelIrql);
  if (Irp->Cancel) {
    Port->ImmediateIrp = NULL;
    Port->QueuedCharCount -= 1;
    IoReleaseCancelSpinLock(CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    CompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
  }
  IoSetCancelRoutine(Irp, ImmediateCancel);
  RequestRefSet(Irp, REF_CANCEL_ROUTINE);
  if (UseTotal) {
    RequestRefSet(Irp, REF_TOTAL_TIMER);
    SetPortTimer(&Port->ImmediateTimer, DueTime, &Port->ImmediateTimeoutDpc, Port);
  }
  PIRP ToSend = NULL;
  AcquireOwnedSpinLock(&Port->WriteLock);
  Port->ImmediateChar = *(PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  Port->ImmediatePending = TRUE;
  RequestRefSet(Irp, REF_DATA_PATH);
  // Otherwise the completion of the transfer in flight sends it, before any further chunk.
  if (Port->WriteInFlight == WRITE_IN_FLIGHT_NONE) {
    DataWriteSend(Port, &ToSend);
  }
  ReleaseOwnedSpinLock(&Port->WriteLock);
  IoReleaseCancelSpinLock(CancelIrql);
  if (ToSend != NULL) {
    DataTransferSend(Port, ToSend);
  }
  return STATUS_PENDING;
}

VOID ImmediateTransferEnded(PortExtension* Port, NTSTATUS Status) {
  Port->ImmediateStatus = Status;
  PortQueueDpc(&Port->ImmediateCompleteDpc, Port);
}

VOID NTAPI ImmediateCompleteDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
  KIRQL CancelIrql;
  PortExtension* Port = PortDpcEnter(DeferredContext, &CancelIrql);
  // The character sent with no write current or queued leaves the transmit side empty.
  BOOLEAN Empty = NT_SUCCESS(Port->ImmediateStatus) && Port->CurrentWrite == NULL && IsListEmpty(&Port->WriteQueue);
  FinishImmediate(Port, NULL, CancelIrql, Port->ImmediateStatus, REF_DATA_PATH);
  if (Empty) {
    PortDeliverEvents(Port, SERIAL_EV_TXEMPTY);
  }
  InterlockedDecrement(&Port->DpcPendingCount);
}

VOID NTAPI ImmediateTimeoutDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
  KIRQL CancelIrql;
  PortExtension* Port = PortDpcEnter(DeferredContext, &CancelIrql);
  FinishImmediate(Port, TakeImmediateFromTransfer, CancelIrql, STATUS_TIMEOUT, REF_TOTAL_TIMER);
  InterlockedDecrement(&Port->DpcPendingCount);
}

static VOID NTAPI ImmediateCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  FinishImmediate(Port, TakeImmediateFromTransfer, Irp->CancelIrql, STATUS_CANCELLED, REF_CANCEL_ROUTINE);
}
