#include "adapter/pnp_forward.h"

#include "core/helpers.h"

// Only signals: the request comes back to the dispatch routine that completes it, so it is
// neither marked pending here nor left pending there.
static NTSTATUS NTAPI ForwardComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS Forward(PDEVICE_OBJECT Lower, PIRP Irp, EVENT_TYPE Type) {
  KEVENT Done;
  KeInitializeEvent(&Done, Type, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardComplete, &Done, TRUE, TRUE, TRUE);
  NTSTATUS Status = IoCallDriver(Lower, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, NULL);
    Status = Irp->IoStatus.Status;
  }
  return Status;
}

PAGED_ROUTINE NTSTATUS ForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp) {
  PAGED_CODE();
  return Forward(Lower, Irp, SynchronizationEvent);
}

PAGED_ROUTINE NTSTATUS ForwardAndWaitIfPending(PDEVICE_OBJECT Lower, PIRP Irp) {
  PAGED_CODE();
  return Forward(Lower, Irp, NotificationEvent);
}

PAGED_ROUTINE NTSTATUS AdapterPassDown(AdapterExtension* Adapter, PIRP Irp, NTSTATUS Status) {
  PAGED_CODE();
  Irp->IoStatus.Status = Status;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS Result = IoCallDriver(Adapter->LowerDevice, Irp);
  PendingIoDecrement(Adapter);
  return Result;
}

PAGED_ROUTINE NTSTATUS AdapterCompletePnp(AdapterExtension* Adapter, PIRP Irp, NTSTATUS Status) {
  PAGED_CODE();
  Irp->IoStatus.Status = Status;
  CompleteRequest(Irp, IO_NO_INCREMENT);
  PendingIoDecrement(Adapter);
  return Status;
}
