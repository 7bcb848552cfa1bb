// Timeouts and receive buffer size requests.
#include "port/queue_timeout_requests.h"

#include "core/helpers.h"
#include "datapath/read.h"
#include "datapath/request_queue.h"
#include "port/control_request.h"

NTSTATUS PortSetTimeouts(PortExtension* Port, PIRP Irp) {
  SERIAL_TIMEOUTS Timeouts;
  if (!ControlInputRead(Irp, &Timeouts, sizeof(Timeouts))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (Timeouts.ReadIntervalTimeout == MAXULONG && Timeouts.ReadTotalTimeoutMultiplier == MAXULONG &&
      Timeouts.ReadTotalTimeoutConstant == MAXULONG) {
    return STATUS_INVALID_PARAMETER;
  }
  AcquireOwnedSpinLock(&Port->ControlLock);
  Port->Timeouts = Timeouts;
  ReleaseOwnedSpinLock(&Port->ControlLock);
  return STATUS_SUCCESS;
}

NTSTATUS PortGetTimeouts(PortExtension* Port, PIRP Irp) {
  if (!ControlOutputFits(Irp, sizeof(SERIAL_TIMEOUTS))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  AcquireOwnedSpinLock(&Port->ControlLock);
  SERIAL_TIMEOUTS Timeouts = Port->Timeouts;
  ReleaseOwnedSpinLock(&Port->ControlLock);
  ControlOutputWrite(Irp, &Timeouts, sizeof(Timeouts));
  return STATUS_SUCCESS;
}

static NTSTATUS QueueSizeComplete(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  CompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS PortSetQueueSize(PortExtension* Port, PIRP Irp) {
  SERIAL_QUEUE_SIZE Size;
  if (!ControlInputRead(Irp, &Size, sizeof(Size))) {
    return QueueSizeComplete(Irp, STATUS_BUFFER_TOO_SMALL);
  }
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  ULONG Current = Port->ReceiveBufferSize;
  ReleaseOwnedSpinLock(&Port->ReceiveLock);
  // A closed port has no buffer to enlarge; the next open sets its own.
  if (Current == 0 || Size.InSize <= Current) {
    return QueueSizeComplete(Irp, STATUS_SUCCESS);
  }

  // The form that returns NULL instead of raising the quota exception.
  PVOID Buffer = ExAllocatePoolWithQuotaTag((POOL_TYPE)(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), Size.InSize,
                                            TAG_BR40);
  if (Buffer == NULL) {
    return QueueSizeComplete(Irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  // Owned by the request from here: the read starter installs it, the queue's cancel routine
  // frees it.
  IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4 = Buffer;
  return StartOrQueueRequest(Port, Irp, &Port->ReadQueue, &Port->CurrentRead, PortStartRead);
}
