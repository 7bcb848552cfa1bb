// The receive stream: the data read always posted while the port is open, delivery of each
// transfer into the attached read or the ring, overflow, and the ring's enlargement.
// ReceiveLock guards the transfer slot, the ring and the receive positions.
#include "datapath/receive.h"

#include "command/protocol.h"
#include "command/response.h"
#include "core/helpers.h"
#include "core/usb_transfer.h"
#include "datapath/request_ref.h"

// ReceiveLock held. Builds the next data read into *ToSend for the caller to send once the
// lock is released (the bus driver may complete inside the call, and the completion takes
// the lock).
static NTSTATUS DataReadPrepare(PortExtension* Port, PIRP* ToSend) {
  *ToSend = NULL;
  // Posted again when the adapter is back from its power-down.
  if (Port->DataReadIrp != NULL || Port->TransfersHeld) {
    return STATUS_SUCCESS;
  }
  AdapterExtension* Adapter = Port->Adapter;
  if (Port->DataReadUrb == NULL || Port->DataReadBuffer == NULL || Port->DataInPipe == NULL ||
      Adapter->LowerDevice == NULL) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  PIRP Irp = UsbTransferAllocate(Adapter->LowerDevice, Port->DataReadBuffer, DATA_READ_SIZE);
  if (Irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  UsbTransferBuild(Port->Self, Irp, Port->DataReadUrb, Port->DataInPipe->PipeHandle, DATA_READ_SIZE,
                   USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, DataReadComplete, Port);
  Port->DataReadIrp = Irp;
  *ToSend = Irp;
  return STATUS_SUCCESS;
}

NTSTATUS DataReadStart(PortExtension* Port) {
  PIRP Irp;
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  NTSTATUS Status = DataReadPrepare(Port, &Irp);
  ReleaseOwnedSpinLock(&Port->ReceiveLock);
  if (Irp != NULL) {
    Status = IoCallDriver(Port->Adapter->LowerDevice, Irp);
  }
  return Status;
}

VOID ReceiveReturnToRing(PortExtension* Port) {
  Port->ReceiveTarget = Port->ReceiveBuffer;
  Port->ReceivePut = Port->ReceiveBuffer;
  Port->ReceiveBufferGet = Port->ReceiveBuffer;
  Port->ReceiveLast = Port->ReceiveBuffer + Port->ReceiveBufferSize - 1;
  Port->ReceiveBufferCount = 0;
}

ULONG StoreInReceiveBuffer(PortExtension* Port, const UCHAR* Bytes, ULONG Count) {
  ULONG Before = Port->ReceiveBufferCount;
  ULONG Free = Port->ReceiveBufferSize - Port->ReceiveBufferCount;
  if (Count > Free) {
    // What the ring holds is older and stays; the newest bytes are the ones lost.
    InterlockedIncrement((LONG volatile*)&Port->PerfStats.BufferOverrunErrorCount);
    InterlockedIncrement((LONG volatile*)&Port->WmiPerfData.BufferOverrunErrorCount);
    InterlockedSetBits(&Port->ErrorFlags, SERIAL_ERROR_QUEUEOVERRUN);
    Count = Free;
  }
  if (Count == 0) {
    return 0;
  }
  ULONG Offset = (ULONG)(Port->ReceivePut - Port->ReceiveBuffer);
  ULONG ToEnd = Port->ReceiveBufferSize - Offset;
  if (Count <= ToEnd) {
    RtlCopyMemory(Port->ReceivePut, Bytes, Count);
  } else {
    RtlCopyMemory(Port->ReceivePut, Bytes, ToEnd);
    RtlCopyMemory(Port->ReceiveBuffer, Bytes + ToEnd, Count - ToEnd);
  }
  Port->ReceivePut = Port->ReceiveBuffer + (Offset + Count) % Port->ReceiveBufferSize;
  Port->ReceiveBufferCount += Count;
  ULONG FullMark = Port->ReceiveBufferSize - Port->ReceiveBufferSize / 5;
  return Before < FullMark && Port->ReceiveBufferCount >= FullMark ? SERIAL_EV_RX80FULL : 0;
}

// ReceiveLock held; Count bytes (at least one) are in DataReadBuffer.
static VOID DeliverReceivedData(PortExtension* Port, ULONG Count) {
  const UCHAR* Bytes = Port->DataReadBuffer;
  // SET_CHARS writes the event character holding this lock too.
  UCHAR EventChar = Port->SpecialChars.EventChar;
  ULONG Events = SERIAL_EV_RXCHAR;
  for (ULONG i = 0; i < Count; i++) {
    if (Bytes[i] == EventChar) {
      Events |= SERIAL_EV_RXFLAG;
      break;
    }
  }

  if (Port->ReceiveTarget != Port->ReceiveBuffer) {
    // Direct mode: the attached read takes what fits.
    ULONG Room = (ULONG)(Port->ReceiveLast - Port->ReceivePut + 1);
    ULONG Take = Count < Room ? Count : Room;
    RtlCopyMemory(Port->ReceivePut, Bytes, Take);
    Port->ReceivePut += Take;
    Port->ReceivedSinceTick += Take;
    Bytes += Take;
    Count -= Take;
    if (Port->ReceivePut > Port->ReceiveLast) {
      PIRP Read = Port->CurrentRead;
      ReceiveReturnToRing(Port);
      Read->IoStatus.Information = IoGetCurrentIrpStackLocation(Read)->Parameters.Read.Length;
      PortQueueDpc(&Port->ReadCompleteDpc, Port);
    }
  }
  if (Count != 0) {
    Events |= StoreInReceiveBuffer(Port, Bytes, Count);
  }
  PortDeliverEvents(Port, Events);
}

NTSTATUS NTAPI DataReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PortExtension* Port = (PortExtension*)Context;
  PURB Urb = Port->DataReadUrb;
  BOOLEAN Succeeded = UsbTransferSucceeded(Irp, Urb);
  // Never more than was asked for, whatever the bus reports.
  ULONG Count = Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (Count > DATA_READ_SIZE) {
    Count = DATA_READ_SIZE;
  }
  PIRP Next = NULL;

  AcquireOwnedSpinLock(&Port->ReceiveLock);
  if (Port->DataReadIrp == Irp) {
    Port->DataReadIrp = NULL;
  }
  if (Irp->Cancel) {
    // Claimed by close, which frees the request once it has seen the event.
    KeSetEvent(&Port->EchoEvent, 1, FALSE);
    ReleaseOwnedSpinLock(&Port->ReceiveLock);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  UsbTransferFree(Irp);

  if (!Succeeded) {
    // Reading stops until the next open.
    KeSetEvent(&Port->EchoEvent, 1, FALSE);
  } else {
    if (Count != 0) {
      InterlockedExchangeAdd((LONG volatile*)&Port->PerfStats.ReceivedCount, (LONG)Count);
      InterlockedExchangeAdd((LONG volatile*)&Port->WmiPerfData.ReceivedCount, (LONG)Count);
    }
    if (Port->IsOpen) {
      // An empty transfer carries no character and no event.
      if (Count != 0) {
        DeliverReceivedData(Port, Count);
      }
      DataReadPrepare(Port, &Next);
    } else if (Count == ECHO_MARKER_LENGTH) {
      // Close's echo: the stream has ended. Only the length counts.
      KeSetEvent(&Port->EchoEvent, 1, FALSE);
    } else {
      DataReadPrepare(Port, &Next);
    }
  }
  ReleaseOwnedSpinLock(&Port->ReceiveLock);

  if (Next != NULL) {
    IoCallDriver(Port->Adapter->LowerDevice, Next);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Copies Count bytes out of the ring from ReceiveBufferGet, in one or two pieces, and moves
// ReceiveBufferGet past them.
static VOID CopyOutOfRing(PortExtension* Port, PUCHAR Destination, ULONG Count) {
  ULONG ToEnd = (ULONG)(Port->ReceiveLast - Port->ReceiveBufferGet + 1);
  if (Count < ToEnd) {
    RtlCopyMemory(Destination, Port->ReceiveBufferGet, Count);
    Port->ReceiveBufferGet += Count;
  } else {
    RtlCopyMemory(Destination, Port->ReceiveBufferGet, ToEnd);
    RtlCopyMemory(Destination + ToEnd, Port->ReceiveBuffer, Count - ToEnd);
    Port->ReceiveBufferGet = Port->ReceiveBuffer + (Count - ToEnd);
  }
}

ULONG CopyReceiveBufferToRead(PortExtension* Port) {
  ULONG Count = Port->ReceiveBufferCount < Port->ReadRemaining ? Port->ReceiveBufferCount : Port->ReadRemaining;
  if (Count == 0) {
    return 0;
  }
  PIRP Read = Port->CurrentRead;
  ULONG Length = IoGetCurrentIrpStackLocation(Read)->Parameters.Read.Length;
  PUCHAR Destination = (PUCHAR)Read->AssociatedIrp.SystemBuffer + (Length - Port->ReadRemaining);
  CopyOutOfRing(Port, Destination, Count);
  Port->ReadRemaining -= Count;
  Read->IoStatus.Information += Count;
  Port->ReceiveBufferCount -= Count;
  return Count;
}

NTSTATUS ResizeReceiveBuffer(PortExtension* Port) {
  PIRP Irp = Port->CurrentRead;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PUCHAR NewBuffer = (PUCHAR)Stack->Parameters.Others.Argument4;
  Stack->Parameters.Others.Argument4 = NULL;
  ULONG NewSize = ((PSERIAL_QUEUE_SIZE)Irp->AssociatedIrp.SystemBuffer)->InSize;
  Irp->IoStatus.Information = 0;

  PUCHAR OldBuffer = NULL;
  AcquireOwnedSpinLock(&Port->ControlLock);
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  // The port may have been closed while the request waited; the buffer never shrinks.
  if (NewBuffer != NULL && Port->ReceiveBuffer != NULL && NewSize > Port->ReceiveBufferSize) {
    // One step under the lock the receive path stores with: nothing arrives in between, so
    // the unread bytes move in order and none is left behind in the old ring.
    ULONG Unread = Port->ReceiveBufferCount;
    if (Unread != 0) {
      CopyOutOfRing(Port, NewBuffer, Unread);
    }
    OldBuffer = Port->ReceiveBuffer;
    Port->ReceiveBuffer = NewBuffer;
    Port->ReceiveBufferSize = NewSize;
    Port->ReceiveTarget = NewBuffer;
    Port->ReceiveBufferGet = NewBuffer;
    Port->ReceiveLast = NewBuffer + NewSize - 1;
    Port->ReceivePut = NewBuffer + Unread;
    Port->ReceiveBufferCount = Unread;
    Port->Handflow.XoffLimit = (LONG)(NewSize / 8);
    Port->Handflow.XonLimit = (LONG)(NewSize / 2);
    NewBuffer = NULL;
  }
  ReleaseOwnedSpinLock(&Port->ReceiveLock);
  ReleaseOwnedSpinLock(&Port->ControlLock);

  // Either the old ring or the one not installed.
  FreePoolAndClear(&OldBuffer);
  FreePoolAndClear(&NewBuffer);
  return STATUS_SUCCESS;
}
