// Cancelling requests before they are served: the cancel routine of every waiting request,
// cancelling a whole kind at cleanup or purge, and refusing requests while an error aborts
// the port's I/O. Non-pageable: the system calls the cancel routine at DISPATCH_LEVEL.
#include "core/helpers.h"
#include "datapath/request_queue.h"

VOID QueuedRequestRelease(PortExtension* Port, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->MajorFunction == IRP_MJ_WRITE) {
    ASSERT(Port->QueuedCharCount >= Stack->Parameters.Write.Length);
    Port->QueuedCharCount -= Stack->Parameters.Write.Length;
  } else if (Stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
             Stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_QUEUE_SIZE) {
    // The receive buffer it would have installed.
    FreePoolAndClear(&Stack->Parameters.Others.Argument4);
  }
}

VOID NTAPI CancelQueuedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = STATUS_CANCELLED;
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  QueuedRequestRelease(Port, Irp);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  CompleteRequest(Irp, IO_SERIAL_INCREMENT);
}

VOID CancelAllRequests(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP* Current) {
  KIRQL OldIrql;
  IoAcquireCancelSpinLock(&OldIrql);

  while (Queue != NULL && !IsListEmpty(Queue)) {
    PIRP Irp = CONTAINING_RECORD(Queue->Blink, IRP, Tail.Overlay.ListEntry);
    PDRIVER_CANCEL Routine = IoSetCancelRoutine(Irp, NULL);
    // Off the queue before the lock is dropped; left self-linked so that the routine's own
    // unlinking touches nothing else.
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    // Every waiting request carries CancelQueuedRequest.
    ASSERT(Routine != NULL);
    if (Routine == NULL) {
      Routine = CancelQueuedRequest;
    }
    Irp->CancelIrql = OldIrql;
    Irp->Cancel = TRUE;
    Routine(DeviceObject, Irp);  // releases the cancel spin lock
    IoAcquireCancelSpinLock(&OldIrql);
  }

  PIRP Irp = *Current;
  if (Irp != NULL) {
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL Routine = IoSetCancelRoutine(Irp, NULL);
    if (Routine != NULL) {
      Irp->CancelIrql = OldIrql;
      Routine(DeviceObject, Irp);
      return;
    }
  }
  IoReleaseCancelSpinLock(OldIrql);
}

NTSTATUS FailIfErrorAbort(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

  // The error flags are set by the receive and event paths with interlocked operations.
  ULONG Errors = (ULONG)InterlockedCompareExchange((LONG volatile*)&Port->ErrorFlags, 0, 0);
  AcquireOwnedSpinLock(&Port->ControlLock);
  BOOLEAN Aborting = (Port->Handflow.ControlHandShake & SERIAL_ERROR_ABORT) != 0 && Errors != 0;
  ReleaseOwnedSpinLock(&Port->ControlLock);

  if (!Aborting) {
    return STATUS_SUCCESS;
  }
  if (Stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
      Stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS) {
    return STATUS_SUCCESS;
  }
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  CompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_CANCELLED;
}
