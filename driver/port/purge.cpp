// Purge: each side of the port is purged only where the mask asks for it. Aborting cancels
// the host's requests of that side; clearing the receive side empties the adapter's receive
// buffer (command 9, side 1) and then the ring; clearing or aborting the transmit side
// cancels the chunk an aborted write left in flight and empties the adapter's transmit buffer
// (command 9, side 2). A mask naming both sides purges both; aborting reads alone discards
// nothing.
#include "port/purge.h"

#include "command/command_queue.h"
#include "command/pipe_reset.h"
#include "command/protocol.h"
#include "core/helpers.h"
#include "datapath/receive.h"
#include "datapath/request_queue.h"
#include "port/control_request.h"

#define PURGE_VALID_MASK (SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR)

NTSTATUS PortPurge(PortExtension* Port, PIRP Irp) {
  ULONG Mask;
  NTSTATUS Status = STATUS_SUCCESS;
  if (!ControlInputRead(Irp, &Mask, sizeof(Mask))) {
    Status = STATUS_BUFFER_TOO_SMALL;
  } else if (Mask == 0 || (Mask & ~PURGE_VALID_MASK) != 0) {
    Status = STATUS_INVALID_PARAMETER;
  }
  if (Status != STATUS_SUCCESS) {
    Irp->IoStatus.Status = Status;
    CompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
  }
  return StartOrQueueRequest(Port, Irp, &Port->PurgeQueue, &Port->CurrentPurge, PortStartPurge);
}

static VOID PurgeAdapterSide(PortExtension* Port, UCHAR Side) {
  UCHAR Payload[2] = {(UCHAR)Port->PortNumber, Side};
  CommandIssue(Port->Adapter, COMMAND_PURGE, Payload, sizeof(Payload));
}

// The ring's unread bytes are dropped. A read attached to the receive path (direct mode)
// keeps what it has: the ring is empty then.
static VOID ClearReceiveBuffer(PortExtension* Port) {
  AcquireOwnedSpinLock(&Port->ControlLock);
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  if (Port->ReceiveBuffer != NULL && Port->ReceiveTarget == Port->ReceiveBuffer) {
    ReceiveReturnToRing(Port);
  }
  ReleaseOwnedSpinLock(&Port->ReceiveLock);
  ReleaseOwnedSpinLock(&Port->ControlLock);
}

NTSTATUS PortStartPurge(PortExtension* Port) {
  NTSTATUS FirstStatus = STATUS_SUCCESS;
  BOOLEAN First = TRUE;
  for (;;) {
    PIRP Irp = Port->CurrentPurge;
    ULONG Mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;

    if (Mask & SERIAL_PURGE_TXABORT) {
      CancelAllRequests(Port->Self, &Port->WriteQueue, &Port->CurrentWrite);
    }
    if (Mask & SERIAL_PURGE_RXABORT) {
      CancelAllRequests(Port->Self, &Port->ReadQueue, &Port->CurrentRead);
    }
    if (Mask & (SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR)) {
      // A chunk its write left in flight would reach the adapter once the purge made room.
      if (CancelDataWriteAndWait(Port, TRUE)) {
        DataOutPipeReset(Port);
      }
      PurgeAdapterSide(Port, PURGE_TRANSMIT);
    }
    if (Mask & SERIAL_PURGE_RXCLEAR) {
      // The adapter first, so that what it held before the purge cannot reach the ring
      // after it was cleared.
      PurgeAdapterSide(Port, PURGE_RECEIVE);
      ClearReceiveBuffer(Port);
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    if (First) {
      First = FALSE;
      FirstStatus = STATUS_SUCCESS;
    }
    PIRP Next = NULL;
    TakeNextRequest(&Port->CurrentPurge, &Port->PurgeQueue, &Next, TRUE);
    if (Next == NULL) {
      return FirstStatus;
    }
  }
}
