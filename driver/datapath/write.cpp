// Write requests and the port's one data OUT transfer. WriteLock guards the write progress,
// the transfer slot and what the transfer in flight carries, so that a chunk, the immediate
// character and a chunk abandoned by its write never share the URB and buffer: a transfer
// starts only when none is in flight, and each completion starts the next one (the pending
// character first, then the next chunk).
#include "datapath/write.h"

#include "command/command_queue.h"
#include "command/protocol.h"
#include "command/response.h"
#include "core/helpers.h"
#include "core/usb_transfer.h"
#include "datapath/due_time.h"
#include "datapath/immediate.h"
#include "datapath/request_queue.h"
#include "datapath/request_ref.h"

static VOID NTAPI WriteCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp);

static ULONG WriteLength(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length; }

NTSTATUS PortWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  NTSTATUS Status = FailIfErrorAbort(DeviceObject, Irp);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Irp->IoStatus.Information = 0;
  if (WriteLength(Irp) == 0) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    CompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  AcquireOwnedSpinLock(&Port->WriteLock);
  BOOLEAN Open = Port->IsOpen;
  ReleaseOwnedSpinLock(&Port->WriteLock);
  // Closed (after cleanup, or a request built by hand): nothing would ever send it.
  if (!Open) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_STATE;
    CompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_STATE;
  }
  return StartOrQueueRequest(Port, Irp, &Port->WriteQueue, &Port->CurrentWrite, PortStartWrite);
}

NTSTATUS DataWriteSend(PortExtension* Port, PIRP* ToSend) {
  *ToSend = NULL;
  ASSERT(Port->WriteInFlight == WRITE_IN_FLIGHT_NONE);
  if (!Port->IsOpen || Port->Adapter->AdapterRemoved) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  UCHAR Kind;
  ULONG Length;
  if (Port->ImmediatePending) {
    Kind = WRITE_IN_FLIGHT_IMMEDIATE;
    Length = 1;
  } else if (Port->WriteRemaining != 0) {
    Kind = WRITE_IN_FLIGHT_CHUNK;
    Length = Port->WriteRemaining < WRITE_CHUNK_SIZE ? Port->WriteRemaining : WRITE_CHUNK_SIZE;
  } else {
    return STATUS_SUCCESS;
  }
  // The write waits for the adapter's return from its power-down, which sends it.
  if (Port->TransfersHeld) {
    return STATUS_SUCCESS;
  }
  AdapterExtension* Adapter = Port->Adapter;
  if (Port->DataWriteUrb == NULL || Port->DataWriteBuffer == NULL || Port->DataOutPipe == NULL ||
      Adapter->LowerDevice == NULL) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  PIRP Irp = UsbTransferAllocate(Adapter->LowerDevice, Port->DataWriteBuffer, Length);
  if (Irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (Kind == WRITE_IN_FLIGHT_IMMEDIATE) {
    Port->DataWriteBuffer[0] = Port->ImmediateChar;
    Port->ImmediatePending = FALSE;
  } else {
    RtlCopyMemory(Port->DataWriteBuffer, Port->WriteNext, Length);
  }
  UsbTransferBuild(Port->Self, Irp, Port->DataWriteUrb, Port->DataOutPipe->PipeHandle, Length,
                   USBD_TRANSFER_DIRECTION_OUT | USBD_SHORT_TRANSFER_OK, DataWriteComplete, Port);
  Port->DataWriteIrp = Irp;
  Port->WriteInFlight = Kind;
  Port->WriteInFlightLength = Length;
  *ToSend = Irp;
  return STATUS_SUCCESS;
}

VOID DataTransferSend(PortExtension* Port, PIRP Irp) { IoCallDriver(Port->Adapter->LowerDevice, Irp); }

// The end of a write whose last byte was acknowledged. In transmit-toggle mode RTS is dropped
// first, which waits for the adapter and so runs in a worker thread.
static VOID WriteFinishQueue(PortExtension* Port, BOOLEAN Toggle) {
  PortWorkItem* Work = Port->WriteDrainWorkItem;
  if (Toggle && Work != NULL) {
    Work->Port = Port;
    // Counted like a DPC, so that the port's deletion waits for it to end.
    InterlockedIncrement(&Port->DpcPendingCount);
    ExInitializeWorkItem(&Work->Item, WriteDrainWorker, Work);
    ExQueueWorkItem(&Work->Item, HyperCriticalWorkQueue);
  } else {
    PortQueueDpc(&Port->WriteCompleteDpc, Port);
  }
}

NTSTATUS NTAPI DataWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PortExtension* Port = (PortExtension*)Context;
  PURB Urb = Port->DataWriteUrb;
  BOOLEAN Succeeded = UsbTransferSucceeded(Irp, Urb);
  NTSTATUS Failure = NT_SUCCESS(Irp->IoStatus.Status) ? STATUS_UNSUCCESSFUL : Irp->IoStatus.Status;
  ULONG Reported = Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  PIRP ToSend = NULL;
  BOOLEAN Finished = FALSE;
  BOOLEAN Toggle = FALSE;

  AcquireOwnedSpinLock(&Port->WriteLock);
  if (Port->DataWriteIrp == Irp) {
    Port->DataWriteIrp = NULL;
  }
  UCHAR Kind = Port->WriteInFlight;
  // Never more than was sent, whatever the bus reports.
  ULONG Sent = Reported < Port->WriteInFlightLength ? Reported : Port->WriteInFlightLength;
  Port->WriteInFlight = WRITE_IN_FLIGHT_NONE;
  Port->WriteInFlightLength = 0;

  if (Irp->Cancel) {
    // Claimed by a canceller, which frees the request once it has seen the event.
    if (Kind == WRITE_IN_FLIGHT_IMMEDIATE) {
      ImmediateTransferEnded(Port, STATUS_CANCELLED);
    }
    KeSetEvent(&Port->DataWriteDoneEvent, 1, FALSE);
    ReleaseOwnedSpinLock(&Port->WriteLock);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  UsbTransferFree(Irp);

  if (Succeeded && Sent != 0) {
    InterlockedExchangeAdd((LONG volatile*)&Port->PerfStats.TransmittedCount, (LONG)Sent);
    InterlockedExchangeAdd((LONG volatile*)&Port->WmiPerfData.TransmittedCount, (LONG)Sent);
  }
  // An acknowledgement of nothing is a failure: sending the same bytes again could loop
  // for ever.
  BOOLEAN GoOn = Succeeded && Sent != 0 && Port->IsOpen && !Port->Adapter->AdapterRemoved;

  if (Kind == WRITE_IN_FLIGHT_IMMEDIATE) {
    ImmediateTransferEnded(Port, Succeeded && Sent != 0 ? STATUS_SUCCESS : Failure);
  } else if (Kind == WRITE_IN_FLIGHT_CHUNK && GoOn) {
    Port->WriteNext += Sent;
    Port->WriteRemaining -= Sent;
    if (Port->WriteRemaining == 0) {
      PIRP Write = Port->CurrentWrite;
      Write->IoStatus.Information = WriteLength(Write);
      Finished = TRUE;
      Toggle = Port->WriteToggles;
    }
  }
  // An abandoned chunk ends here: its write was taken back and owns nothing of it.

  if (GoOn) {
    DataWriteSend(Port, &ToSend);
  } else {
    // The write ends by its timer, its cancel routine or cleanup.
    KeSetEvent(&Port->DataWriteDoneEvent, 1, FALSE);
  }
  ReleaseOwnedSpinLock(&Port->WriteLock);

  if (Finished) {
    WriteFinishQueue(Port, Toggle);
  }
  if (ToSend != NULL) {
    DataTransferSend(Port, ToSend);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Cancel spin lock held. Takes the current write back from the transfers: its information
// becomes the bytes acknowledged; a chunk still in flight is abandoned, never resent.
static BOOLEAN TakeWriteFromTransfer(PortExtension* Port) {
  AcquireOwnedSpinLock(&Port->WriteLock);
  if (Port->WriteRemaining != 0) {
    PIRP Write = Port->CurrentWrite;
    Write->IoStatus.Information = WriteLength(Write) - Port->WriteRemaining;
    RequestRefClear(Write, REF_DATA_PATH);
    Port->WriteRemaining = 0;
    if (Port->WriteInFlight == WRITE_IN_FLIGHT_CHUNK) {
      Port->WriteInFlight = WRITE_IN_FLIGHT_ABANDONED;
    }
  }
  ReleaseOwnedSpinLock(&Port->WriteLock);
  return FALSE;
}

static VOID FinishWrite(PortExtension* Port, PPORT_TAKE_BACK_ROUTINE TakeBack, KIRQL CancelIrql, NTSTATUS Status,
                        ULONG RefBit) {
  FinishCurrentRequest(Port, TakeBack, CancelIrql, Status, &Port->CurrentWrite, &Port->WriteQueue, NULL,
                       &Port->WriteTotalTimer, PortStartWrite, TakeNextWrite, RefBit);
}

NTSTATUS PortStartWrite(PortExtension* Port) {
  NTSTATUS FirstStatus = STATUS_PENDING;
  BOOLEAN First = TRUE;

  for (;;) {
    PIRP Irp = Port->CurrentWrite;
    ULONG Length = WriteLength(Irp);
    AcquireOwnedSpinLock(&Port->ControlLock);
    SERIAL_TIMEOUTS Timeouts = Port->Timeouts;
    BOOLEAN Toggle = (Port->Handflow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
    ReleaseOwnedSpinLock(&Port->ControlLock);
    BOOLEAN UseTotal = Timeouts.WriteTotalTimeoutMultiplier != 0 || Timeouts.WriteTotalTimeoutConstant != 0;
    LARGE_INTEGER DueTime =
        TotalTimeoutDueTime(Length, Timeouts.WriteTotalTimeoutMultiplier, Timeouts.WriteTotalTimeoutConstant);

    RequestRefReset(Irp);
    KIRQL CancelIrql;
    IoAcquireCancelSpinLock(&CancelIrql);
    if (Irp->Cancel) {
      IoReleaseCancelSpinLock(CancelIrql);
      Irp->IoStatus.Status = STATUS_CANCELLED;
      Irp->IoStatus.Information = 0;
      if (First) {
        FirstStatus = STATUS_CANCELLED;
        First = FALSE;
      }
      PIRP Next = NULL;
      TakeNextWrite(&Port->CurrentWrite, &Port->WriteQueue, &Next, TRUE);
      if (Next == NULL) {
        return FirstStatus;
      }
      continue;
    }

    if (First) {
      IoMarkIrpPending(Irp);
    }
    IoSetCancelRoutine(Irp, WriteCancel);
    RequestRefSet(Irp, REF_CANCEL_ROUTINE);
    if (UseTotal) {
      RequestRefSet(Irp, REF_TOTAL_TIMER);
      KeSetTimer(&Port->WriteTotalTimer, DueTime, &Port->WriteTimeoutDpc);
    }
    RequestRefSet(Irp, REF_DATA_PATH);
    // The transfers begin before the cancel spin lock is released, so a cancel or timeout
    // always finds the write either begun or ended, never in between.
    PIRP ToSend = NULL;
    AcquireOwnedSpinLock(&Port->WriteLock);
    Port->WriteRemaining = Length;
    Port->WriteNext = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    Port->WriteToggles = Toggle;
    if (Port->WriteInFlight == WRITE_IN_FLIGHT_NONE) {
      DataWriteSend(Port, &ToSend);
    }
    ReleaseOwnedSpinLock(&Port->WriteLock);
    IoReleaseCancelSpinLock(CancelIrql);
    if (ToSend != NULL) {
      DataTransferSend(Port, ToSend);
    }
    return FirstStatus;
  }
}

VOID TakeNextWrite(PIRP* Current, PLIST_ENTRY Queue, PIRP* Next, BOOLEAN CompleteCurrent) {
  PIRP Old = *Current;
  if (Old != NULL && IoGetCurrentIrpStackLocation(Old)->MajorFunction == IRP_MJ_WRITE) {
    PortExtension* Port = CONTAINING_RECORD(Current, PortExtension, CurrentWrite);
    KIRQL CancelIrql;
    IoAcquireCancelSpinLock(&CancelIrql);
    ASSERT(Port->QueuedCharCount >= WriteLength(Old));
    Port->QueuedCharCount -= WriteLength(Old);
    IoReleaseCancelSpinLock(CancelIrql);
  }
  TakeNextRequest(Current, Queue, Next, CompleteCurrent);
}

// Cancel spin lock held. The write's last byte has been taken by the adapter; with no write
// behind it and no immediate character waiting, the transmit side is empty.
static VOID FinishSentWrite(PortExtension* Port, KIRQL CancelIrql) {
  BOOLEAN LastQueued = IsListEmpty(&Port->WriteQueue) && Port->ImmediateIrp == NULL;
  FinishWrite(Port, NULL, CancelIrql, STATUS_SUCCESS, REF_DATA_PATH);
  if (LastQueued) {
    PortDeliverEvents(Port, SERIAL_EV_TXEMPTY);
  }
}

VOID NTAPI WriteCompleteDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
  KIRQL CancelIrql;
  PortExtension* Port = PortDpcEnter(DeferredContext, &CancelIrql);
  FinishSentWrite(Port, CancelIrql);
  InterlockedDecrement(&Port->DpcPendingCount);
}

VOID NTAPI WriteDrainWorker(PVOID Parameter) {
  PortExtension* Port = ((PortWorkItem*)Parameter)->Port;
  UCHAR Payload[2] = {(UCHAR)Port->PortNumber, 0};
  CommandIssue(Port->Adapter, COMMAND_SET_RTS, Payload, sizeof(Payload));
  KIRQL CancelIrql;
  IoAcquireCancelSpinLock(&CancelIrql);
  FinishSentWrite(Port, CancelIrql);
  InterlockedDecrement(&Port->DpcPendingCount);
}

VOID NTAPI WriteTimeoutDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
  KIRQL CancelIrql;
  PortExtension* Port = PortDpcEnter(DeferredContext, &CancelIrql);
  FinishWrite(Port, TakeWriteFromTransfer, CancelIrql, STATUS_TIMEOUT, REF_TOTAL_TIMER);
}

static VOID NTAPI WriteCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  FinishWrite(Port, TakeWriteFromTransfer, Irp->CancelIrql, STATUS_CANCELLED, REF_CANCEL_ROUTINE);
}

VOID WriteStopForClose(PortExtension* Port) {
  CancelDataWriteAndWait(Port, FALSE);
  // Nothing goes out any more (the port is closed): a character still waiting would never
  // be sent.
  KIRQL CancelIrql;
  IoAcquireCancelSpinLock(&CancelIrql);
  AcquireOwnedSpinLock(&Port->WriteLock);
  if (Port->ImmediatePending) {
    Port->ImmediatePending = FALSE;
    ImmediateTransferEnded(Port, STATUS_CANCELLED);
  }
  ReleaseOwnedSpinLock(&Port->WriteLock);
  IoReleaseCancelSpinLock(CancelIrql);
}
