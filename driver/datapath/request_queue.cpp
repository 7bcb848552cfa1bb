// Making requests current, finishing the current one once its last reference is gone, and
// taking the next one; the counted port timers. Non-pageable: DPCs, timers and cancel
// routines call into here.
#include "datapath/request_queue.h"

#include "command/pipe_reset.h"
#include "core/helpers.h"
#include "datapath/request_ref.h"

NTSTATUS StartOrQueueRequest(PortExtension* Port, PIRP Irp, PLIST_ENTRY Queue, PIRP* Current,
                             PPORT_START_ROUTINE Starter) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  BOOLEAN IsWrite = Stack->MajorFunction == IRP_MJ_WRITE;
  KIRQL OldIrql;

  IoAcquireCancelSpinLock(&OldIrql);
  if (IsWrite) {
    Port->QueuedCharCount += Stack->Parameters.Write.Length;
  }

  if (IsListEmpty(Queue) && *Current == NULL) {
    *Current = Irp;
    IoReleaseCancelSpinLock(OldIrql);
    // A write taken back by timeout or cancel may have left its last transfer in flight; the
    // new write must not interleave with it on the pipe.
    if (IsWrite && CancelDataWriteAndWait(Port, TRUE)) {
      DataOutPipeReset(Port);
    }
    return Starter(Port);
  }

  if (Irp->Cancel) {
    QueuedRequestRelease(Port, Irp);
    IoReleaseCancelSpinLock(OldIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    CompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
  }

  Irp->IoStatus.Status = STATUS_PENDING;
  IoMarkIrpPending(Irp);
  InsertTailList(Queue, &Irp->Tail.Overlay.ListEntry);
  // Under the cancel spin lock IoCancelIrp cannot run in between, so the Cancel flag checked
  // above still holds.
  IoSetCancelRoutine(Irp, CancelQueuedRequest);
  IoReleaseCancelSpinLock(OldIrql);
  return STATUS_PENDING;
}

VOID FinishCurrentRequest(PortExtension* Port, PPORT_TAKE_BACK_ROUTINE TakeBack, KIRQL CancelIrql, NTSTATUS Status,
                          PIRP* Current, PLIST_ENTRY Queue, PKTIMER IntervalTimer, PKTIMER TotalTimer,
                          PPORT_START_ROUTINE Starter, PPORT_TAKE_NEXT_ROUTINE TakeNext, ULONG RefBit) {
  PIRP Irp = *Current;
  ASSERT(Irp != NULL);
  if (Irp == NULL) {
    IoReleaseCancelSpinLock(CancelIrql);
    return;
  }

  RequestRefClear(Irp, RefBit);
  if (TakeBack != NULL) {
    TakeBack(Port);
  }
  ReleaseRequestReferences(Port, Irp, IntervalTimer, TotalTimer);

  if (RequestRefGet(Irp) != 0) {
    // The holder of the remaining reference finishes it.
    IoReleaseCancelSpinLock(CancelIrql);
    return;
  }

  Irp->IoStatus.Status = Status;
  if (Status == STATUS_CANCELLED) {
    Irp->IoStatus.Information = 0;
  }

  if (TakeNext != NULL) {
    IoReleaseCancelSpinLock(CancelIrql);
    PIRP Next = NULL;
    TakeNext(Current, Queue, &Next, TRUE);
    if (Next != NULL && Starter != NULL) {
      Starter(Port);
    }
    return;
  }

  *Current = NULL;
  IoReleaseCancelSpinLock(CancelIrql);
  CompleteRequest(Irp, IO_SERIAL_INCREMENT);
}

VOID ReleaseRequestReferences(PortExtension* Port, PIRP Current, PKTIMER IntervalTimer, PKTIMER TotalTimer) {
  if (IoSetCancelRoutine(Current, NULL) != NULL) {
    RequestRefClear(Current, REF_CANCEL_ROUTINE);
  }
  if (IntervalTimer != NULL && KeCancelTimer(IntervalTimer)) {
    RequestRefClear(Current, REF_INTERVAL_TIMER);
  }
  // The immediate character's timer is the counted one: its DPC will not run to give it back.
  BOOLEAN Counted = TotalTimer == &Port->ImmediateTimer;
  if (TotalTimer != NULL && (Counted ? CancelPortTimer(TotalTimer, Port) : KeCancelTimer(TotalTimer))) {
    RequestRefClear(Current, REF_TOTAL_TIMER);
  }
}

PIRP MakeNextRequestCurrent(PIRP* Current, PLIST_ENTRY Queue) {
  PIRP New = NULL;
  if (Queue != NULL && !IsListEmpty(Queue)) {
    New = CONTAINING_RECORD(RemoveHeadList(Queue), IRP, Tail.Overlay.ListEntry);
    // Still queued under the cancel spin lock, so its routine is still there to take.
    IoSetCancelRoutine(New, NULL);
  }
  *Current = New;
  return New;
}

VOID TakeNextRequest(PIRP* Current, PLIST_ENTRY Queue, PIRP* Next, BOOLEAN CompleteCurrent) {
  KIRQL OldIrql;
  IoAcquireCancelSpinLock(&OldIrql);
  PIRP Old = *Current;
  *Next = MakeNextRequestCurrent(Current, Queue);
  IoReleaseCancelSpinLock(OldIrql);

  if (CompleteCurrent && Old != NULL) {
    CompleteRequest(Old, IO_SERIAL_INCREMENT);
  }
}

BOOLEAN SetPortTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc, PortExtension* Port) {
  InterlockedIncrement(&Port->DpcPendingCount);
  BOOLEAN WasSet = KeSetTimer(Timer, DueTime, Dpc);
  if (WasSet) {
    InterlockedDecrement(&Port->DpcPendingCount);
  }
  return WasSet;
}

BOOLEAN CancelPortTimer(PKTIMER Timer, PortExtension* Port) {
  BOOLEAN WasSet = KeCancelTimer(Timer);
  if (WasSet) {
    InterlockedDecrement(&Port->DpcPendingCount);
  }
  return WasSet;
}
