// Open, close and cleanup of a port. All three run at PASSIVE_LEVEL in the caller's thread.
//
// IsOpen is read by the event path under AdapterLock, by the receive path under ReceiveLock
// and by the write path under WriteLock; it changes only holding all three, in that order.
#include "port/open_close.h"

#include "command/command_queue.h"
#include "command/pipe_reset.h"
#include "command/protocol.h"
#include "command/response.h"
#include "core/helpers.h"
#include "datapath/receive.h"
#include "datapath/request_queue.h"
#include "datapath/write.h"
#include "port/wait_mask.h"

VOID PortOpenStateLock(PortExtension* Port) {
  AcquireOwnedSpinLock(&Port->Adapter->AdapterLock);
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  AcquireOwnedSpinLock(&Port->WriteLock);
}

VOID PortOpenStateUnlock(PortExtension* Port) {
  ReleaseOwnedSpinLock(&Port->WriteLock);
  ReleaseOwnedSpinLock(&Port->ReceiveLock);
  ReleaseOwnedSpinLock(&Port->Adapter->AdapterLock);
}

static NTSTATUS CompleteOpenRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  CompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS PortCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  AdapterExtension* Adapter = Port->Adapter;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

  AcquireOwnedSpinLock(&Port->ReceiveLock);
  BOOLEAN AlreadyOpen = Port->IsOpen || Port->ReceiveBuffer != NULL;
  ReleaseOwnedSpinLock(&Port->ReceiveLock);
  // The device is exclusive, so only a second open of a handle the system already counts
  // (or a request built by hand) gets here; the open port is left as it is.
  if (AlreadyOpen) {
    return CompleteOpenRequest(Irp, STATUS_ACCESS_DENIED);
  }
  if (Stack->Parameters.Create.Options & FILE_DIRECTORY_FILE) {
    return CompleteOpenRequest(Irp, STATUS_NOT_A_DIRECTORY);
  }

  PUCHAR Ring = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, RECEIVE_BUFFER_SIZE_AT_OPEN, TAG_BR12);
  if (Ring == NULL) {
    return CompleteOpenRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
  }

  AcquireOwnedSpinLock(&Port->ControlLock);
  Port->Handflow.XoffLimit = RECEIVE_BUFFER_SIZE_AT_OPEN / 8;
  Port->Handflow.XonLimit = RECEIVE_BUFFER_SIZE_AT_OPEN / 2;
  // The adapter raises both at the open.
  Port->OutputLines = OUTPUT_LINE_DTR | OUTPUT_LINE_RTS;
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  Port->ReceiveBuffer = Ring;
  Port->ReceiveBufferSize = RECEIVE_BUFFER_SIZE_AT_OPEN;
  ReceiveReturnToRing(Port);
  Port->ReceivedSinceTick = 0;
  ReleaseOwnedSpinLock(&Port->ReceiveLock);
  ReleaseOwnedSpinLock(&Port->ControlLock);

  KIRQL CancelIrql;
  IoAcquireCancelSpinLock(&CancelIrql);
  Port->QueuedCharCount = 0;
  IoReleaseCancelSpinLock(CancelIrql);
  PortResetWaitState(Port);

  ExAcquireFastMutex(&Adapter->OpenMutex);
  if (InterlockedIncrement((LONG volatile*)&Adapter->OpenPortCount) == 1) {
    ResponseReadStart(Adapter);
  }
  ExReleaseFastMutex(&Adapter->OpenMutex);

  DataOutPipeReset(Port);

  PortOpenStateLock(Port);
  Port->IsOpen = TRUE;
  Port->WriteRemaining = 0;
  PortOpenStateUnlock(Port);

  UCHAR Payload = (UCHAR)Port->PortNumber;
  CommandIssue(Adapter, COMMAND_OPEN_PORT, &Payload, sizeof(Payload));
  DataReadStart(Port);
  return CompleteOpenRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS PortClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  AdapterExtension* Adapter = Port->Adapter;
  BOOLEAN Gone = Port->DevicePnpState == SurpriseRemoved;

  // One section with the receive path: either the read is still in flight and the echo will
  // end it (its completion signals the event after this clears it), or it has ended already.
  PortOpenStateLock(Port);
  Port->IsOpen = FALSE;
  BOOLEAN ReadInFlight = Port->DataReadIrp != NULL;
  if (ReadInFlight) {
    KeClearEvent(&Port->EchoEvent);
  }
  PortOpenStateUnlock(Port);

  WriteStopForClose(Port);

  ExAcquireFastMutex(&Adapter->OpenMutex);
  InterlockedDecrement((LONG volatile*)&Adapter->OpenPortCount);
  UCHAR PortNumber = (UCHAR)Port->PortNumber;
  if (!Gone) {
    CommandIssue(Adapter, COMMAND_CLOSE_PORT, &PortNumber, sizeof(PortNumber));
  }
  ExReleaseFastMutex(&Adapter->OpenMutex);

  if (ReadInFlight && !Gone) {
    UCHAR Echo[ECHO_PAYLOAD_LENGTH];
    CommandBuildEchoPayload(PortNumber, Echo);
    CommandIssue(Adapter, COMMAND_ECHO, Echo, sizeof(Echo));
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = COMMAND_WAIT_TIMEOUT;
    KeWaitForSingleObject(&Port->EchoEvent, Executive, KernelMode, FALSE, &Timeout);
  }
  // A read the echo did not end (never answered, or the port is gone) is cancelled and
  // awaited, so that the next open never posts a second read on the same URB.
  CancelTransferAndWait(&Port->DataReadIrp, &Port->EchoEvent, &Port->ReceiveLock);

  PortReleaseReceiveBuffer(Port);
  return CompleteOpenRequest(Irp, STATUS_SUCCESS);
}

VOID PortReleaseReceiveBuffer(PortExtension* Port) {
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  PUCHAR Ring = Port->ReceiveBuffer;
  Port->ReceiveBuffer = NULL;
  Port->ReceiveBufferSize = 0;
  Port->ReceiveBufferCount = 0;
  Port->ReceiveTarget = NULL;
  Port->ReceivePut = NULL;
  Port->ReceiveLast = NULL;
  Port->ReceiveBufferGet = NULL;
  ReleaseOwnedSpinLock(&Port->ReceiveLock);
  FreePoolAndClear(&Ring);
}

VOID PortMarkClosed(PortExtension* Port) {
  PortOpenStateLock(Port);
  Port->IsOpen = FALSE;
  PortOpenStateUnlock(Port);
}

VOID PortMarkOpen(PortExtension* Port) {
  PortOpenStateLock(Port);
  Port->IsOpen = TRUE;
  PortOpenStateUnlock(Port);
}

VOID PortCancelAllRequests(PortExtension* Port) {
  PDEVICE_OBJECT DeviceObject = Port->Self;
  CancelAllRequests(DeviceObject, &Port->WriteQueue, &Port->CurrentWrite);
  CancelAllRequests(DeviceObject, &Port->ReadQueue, &Port->CurrentRead);
  CancelAllRequests(DeviceObject, &Port->PurgeQueue, &Port->CurrentPurge);
  CancelAllRequests(DeviceObject, &Port->MaskQueue, &Port->CurrentMask);

  KIRQL CancelIrql;
  IoAcquireCancelSpinLock(&CancelIrql);
  PIRP Wait = Port->WaitIrp;
  PDRIVER_CANCEL Routine = NULL;
  if (Wait != NULL) {
    Wait->Cancel = TRUE;
    Routine = IoSetCancelRoutine(Wait, NULL);
  }
  if (Routine != NULL) {
    Wait->CancelIrql = CancelIrql;
    Routine(DeviceObject, Wait);  // releases the cancel spin lock
  } else {
    IoReleaseCancelSpinLock(CancelIrql);
  }
}

NTSTATUS PortCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortCancelAllRequests((PortExtension*)DeviceObject->DeviceExtension);
  return CompleteOpenRequest(Irp, STATUS_SUCCESS);
}
