// Wait on mask. Set-mask and wait requests are served in arrival order through MaskQueue; a
// wait that finds no event yet moves to WaitIrp, armed, and the mask queue goes on. The wait
// ends in one of three ways: an event source satisfies it and CommWaitDpc completes it; a
// new mask ends it at once with an empty result; or it is cancelled.
#include "port/wait_mask.h"

#include "command/response.h"
#include "core/helpers.h"
#include "datapath/request_queue.h"
#include "datapath/request_ref.h"
#include "port/control_request.h"

// SERIAL_EV_RXCHAR through SERIAL_EV_EVENT2.
#define WAIT_MASK_VALID_BITS 0x00001FFF

static VOID NTAPI WaitCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);

static ULONG ControlCode(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
}

static NTSTATUS CompleteAtOnce(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  CompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS PortGetWaitMask(PortExtension* Port, PIRP Irp) {
  if (!ControlOutputFits(Irp, sizeof(ULONG))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  KIRQL OldIrql;
  KeAcquireSpinLock(&Port->WaitStateLock, &OldIrql);
  ULONG Mask = Port->WaitMask;
  KeReleaseSpinLock(&Port->WaitStateLock, OldIrql);
  ControlOutputWrite(Irp, &Mask, sizeof(Mask));
  return STATUS_SUCCESS;
}

NTSTATUS PortSetWaitMask(PortExtension* Port, PIRP Irp) {
  ULONG Mask;
  if (!ControlInputRead(Irp, &Mask, sizeof(Mask))) {
    return CompleteAtOnce(Irp, STATUS_BUFFER_TOO_SMALL);
  }
  if (Mask & ~WAIT_MASK_VALID_BITS) {
    return CompleteAtOnce(Irp, STATUS_INVALID_PARAMETER);
  }
  return StartOrQueueRequest(Port, Irp, &Port->MaskQueue, &Port->CurrentMask, PortStartMask);
}

NTSTATUS PortWaitOnMask(PortExtension* Port, PIRP Irp) {
  if (!ControlOutputFits(Irp, sizeof(ULONG))) {
    return CompleteAtOnce(Irp, STATUS_BUFFER_TOO_SMALL);
  }
  return StartOrQueueRequest(Port, Irp, &Port->MaskQueue, &Port->CurrentMask, PortStartMask);
}

// Cancel spin lock held. Installs the new mask; an armed wait ends with an empty result and
// is returned, taken out of WaitIrp, for the caller to complete once the lock is released:
// a wait that follows at once must find the slot free. A wait already satisfied is left to
// CommWaitDpc.
static PIRP EndPendingWait(PortExtension* Port, ULONG NewMask) {
  PIRP Wait = Port->WaitIrp;
  BOOLEAN Ended = FALSE;
  KIRQL OldIrql;
  KeAcquireSpinLock(&Port->WaitStateLock, &OldIrql);
  if (Port->WaitResult != NULL) {
    *Port->WaitResult = 0;
    Port->WaitResult = NULL;
    Wait->IoStatus.Information = sizeof(ULONG);
    Ended = TRUE;
  }
  Port->EventHistory &= NewMask;
  Port->WaitMask = NewMask;
  KeReleaseSpinLock(&Port->WaitStateLock, OldIrql);

  if (!Ended) {
    return NULL;
  }
  RequestRefClear(Wait, REF_DATA_PATH);
  ReleaseRequestReferences(Port, Wait, NULL, NULL);
  if (RequestRefGet(Wait) != 0) {
    return NULL;  // its cancel routine is under way and completes it
  }
  Wait->IoStatus.Status = STATUS_SUCCESS;
  Port->WaitIrp = NULL;
  return Wait;
}

// Cancel spin lock held. Serves a wait request: refused without a mask or beside another
// wait; answered at once from events already seen; otherwise armed in WaitIrp, with its
// cancel routine, and STATUS_PENDING returned.
static NTSTATUS WaitStart(PortExtension* Port, PIRP Irp) {
  if (Irp->Cancel) {
    Irp->IoStatus.Information = 0;
    return STATUS_CANCELLED;
  }
  PULONG Result = (PULONG)Irp->AssociatedIrp.SystemBuffer;
  NTSTATUS Status = STATUS_PENDING;
  KIRQL OldIrql;
  KeAcquireSpinLock(&Port->WaitStateLock, &OldIrql);
  if (Port->WaitMask == 0 || Port->WaitIrp != NULL) {
    Status = STATUS_INVALID_PARAMETER;
  } else if (Port->EventHistory != 0) {
    *Result = Port->EventHistory;
    Port->EventHistory = 0;
    Irp->IoStatus.Information = sizeof(ULONG);
    Status = STATUS_SUCCESS;
  } else {
    Port->WaitIrp = Irp;
    RequestRefReset(Irp);
    RequestRefSet(Irp, REF_DATA_PATH);
    Port->WaitResult = Result;
  }
  KeReleaseSpinLock(&Port->WaitStateLock, OldIrql);

  if (Status == STATUS_PENDING) {
    IoMarkIrpPending(Irp);
    Irp->IoStatus.Status = STATUS_PENDING;
    IoSetCancelRoutine(Irp, WaitCancel);
    RequestRefSet(Irp, REF_CANCEL_ROUTINE);
  }
  return Status;
}

NTSTATUS PortStartMask(PortExtension* Port) {
  NTSTATUS FirstStatus = STATUS_SUCCESS;
  BOOLEAN First = TRUE;
  for (;;) {
    PIRP Irp = Port->CurrentMask;
    PIRP EndedWait = NULL;
    NTSTATUS Status;
    KIRQL CancelIrql;
    IoAcquireCancelSpinLock(&CancelIrql);
    if (ControlCode(Irp) == IOCTL_SERIAL_SET_WAIT_MASK) {
      EndedWait = EndPendingWait(Port, *(PULONG)Irp->AssociatedIrp.SystemBuffer);
      Status = STATUS_SUCCESS;
    } else {
      Status = WaitStart(Port, Irp);
    }
    // The next request becomes current in the same section: a request arriving now queues
    // behind it instead of finding the slot empty and starting a second starter.
    PIRP Next = MakeNextRequestCurrent(&Port->CurrentMask, &Port->MaskQueue);
    IoReleaseCancelSpinLock(CancelIrql);

    if (EndedWait != NULL) {
      CompleteRequest(EndedWait, IO_SERIAL_INCREMENT);
    }
    if (Status != STATUS_PENDING) {
      Irp->IoStatus.Status = Status;
      CompleteRequest(Irp, First ? IO_NO_INCREMENT : IO_SERIAL_INCREMENT);
    }
    if (First) {
      First = FALSE;
      FirstStatus = Status;
    }
    if (Next == NULL) {
      return FirstStatus;
    }
  }
}

VOID PortResetWaitState(PortExtension* Port) {
  KIRQL OldIrql;
  KeAcquireSpinLock(&Port->WaitStateLock, &OldIrql);
  ASSERT(Port->WaitResult == NULL);
  Port->WaitMask = 0;
  Port->EventHistory = 0;
  KeReleaseSpinLock(&Port->WaitStateLock, OldIrql);
}

VOID NTAPI CommWaitDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
  KIRQL CancelIrql;
  PortExtension* Port = PortDpcEnter(DeferredContext, &CancelIrql);
  FinishCurrentRequest(Port, NULL, CancelIrql, STATUS_SUCCESS, &Port->WaitIrp, NULL, NULL, NULL, NULL, NULL,
                       REF_DATA_PATH);
  InterlockedDecrement(&Port->DpcPendingCount);
}

// Cancel spin lock held. An armed wait is taken back from the event sources; one already
// satisfied keeps the data path's reference, and CommWaitDpc completes it with its events.
static BOOLEAN TakeWaitFromEvents(PortExtension* Port) {
  KIRQL OldIrql;
  KeAcquireSpinLock(&Port->WaitStateLock, &OldIrql);
  if (Port->WaitResult != NULL) {
    *Port->WaitResult = 0;
    Port->WaitResult = NULL;
    RequestRefClear(Port->WaitIrp, REF_DATA_PATH);
  }
  KeReleaseSpinLock(&Port->WaitStateLock, OldIrql);
  return FALSE;
}

static VOID NTAPI WaitCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  FinishCurrentRequest(Port, TakeWaitFromEvents, Irp->CancelIrql, STATUS_CANCELLED, &Port->WaitIrp, NULL, NULL, NULL,
                       NULL, NULL, REF_CANCEL_ROUTINE);
}
