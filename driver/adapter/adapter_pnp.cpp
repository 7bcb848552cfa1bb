// The adapter's plug-and-play requests. Each request holds a count on the adapter from entry
// to exit, so stop and removal can wait for those in progress.
#include "adapter/adapter_pnp.h"

#include "adapter/adapter_removal.h"
#include "adapter/adapter_start.h"
#include "adapter/firmware_download.h"
#include "adapter/pnp_forward.h"
#include "adapter/port_enumeration.h"
#include "adapter/usb_configuration.h"
#include "core/helpers.h"

PAGED_ROUTINE static NTSTATUS AdapterStart(AdapterExtension* Adapter, PIRP Irp) {
  PAGED_CODE();
  NTSTATUS Status = ForwardAndWait(Adapter->LowerDevice, Irp);
  if (NT_SUCCESS(Status)) {
    Status = AdapterStartDevice(Adapter);
  }
  // A blank device gets its firmware and then comes back as a new device running it.
  if (NT_SUCCESS(Status) && !Adapter->FirmwareRunning) {
    Status = DownloadFirmware(Adapter);
  }
  if (NT_SUCCESS(Status)) {
    Adapter->DevicePnpState = Started;
  }
  return AdapterCompletePnp(Adapter, Irp, Status);
}

PAGED_ROUTINE static NTSTATUS AdapterStop(AdapterExtension* Adapter, PIRP Irp) {
  PAGED_CODE();
  AdapterDrainBeforeStop(Adapter);
  AdapterQuiesce(Adapter, FALSE);
  AdapterUnconfigure(Adapter);
  Adapter->DevicePnpState = Stopped;
  return AdapterPassDown(Adapter, Irp, STATUS_SUCCESS);
}

// A cancel restores the state its query found, and only if that query is what it cancels.
PAGED_ROUTINE static NTSTATUS AdapterCancelQuery(AdapterExtension* Adapter, PIRP Irp, ULONG PendingState) {
  PAGED_CODE();
  if (Adapter->DevicePnpState == PendingState) {
    Adapter->DevicePnpState = Adapter->PreviousPnpState;
  }
  return AdapterPassDown(Adapter, Irp, STATUS_SUCCESS);
}

PAGED_ROUTINE static NTSTATUS AdapterQuery(AdapterExtension* Adapter, PIRP Irp, ULONG PendingState) {
  PAGED_CODE();
  if (Adapter->DevicePnpState != StopPending && Adapter->DevicePnpState != RemovePending) {
    Adapter->PreviousPnpState = Adapter->DevicePnpState;
  }
  Adapter->DevicePnpState = PendingState;
  return AdapterPassDown(Adapter, Irp, STATUS_SUCCESS);
}

PAGED_ROUTINE static NTSTATUS AdapterQueryCapabilities(AdapterExtension* Adapter, PIRP Irp,
                                                       PIO_STACK_LOCATION Stack) {
  PAGED_CODE();
  PDEVICE_CAPABILITIES Caps = Stack->Parameters.DeviceCapabilities.Capabilities;
  Caps->SurpriseRemovalOK = TRUE;
  if (IoIsWdmVersionAvailable(1, 0x20)) {
    return AdapterPassDown(Adapter, Irp, Irp->IoStatus.Status);
  }
  // Windows 2000's bus driver may clear the flag on the way back.
  NTSTATUS Status = ForwardAndWaitIfPending(Adapter->LowerDevice, Irp);
  if (NT_SUCCESS(Status)) {
    Caps->SurpriseRemovalOK = TRUE;
  }
  Irp->IoStatus.Information = 0;
  return AdapterCompletePnp(Adapter, Irp, Status);
}

PAGED_ROUTINE NTSTATUS AdapterDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                                          AdapterExtension* Adapter) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DeviceObject);
  PendingIoIncrement(Adapter);
  switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return AdapterStart(Adapter, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      return AdapterQuery(Adapter, Irp, StopPending);
    case IRP_MN_CANCEL_STOP_DEVICE:
      return AdapterCancelQuery(Adapter, Irp, StopPending);
    case IRP_MN_STOP_DEVICE:
      return AdapterStop(Adapter, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return AdapterQuery(Adapter, Irp, RemovePending);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return AdapterCancelQuery(Adapter, Irp, RemovePending);
    case IRP_MN_SURPRISE_REMOVAL:
      Adapter->DevicePnpState = SurpriseRemoved;
      AdapterDisableInterface(Adapter);
      AdapterQuiesce(Adapter, TRUE);
      return AdapterPassDown(Adapter, Irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
      return AdapterRemoveDevice(Adapter, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (Stack->Parameters.QueryDeviceRelations.Type != BusRelations) {
        break;
      }
      BOOLEAN Untouched = FALSE;
      NTSTATUS Status = AdapterQueryBusRelations(Adapter, Irp, &Untouched);
      if (Untouched) {
        break;
      }
      if (!NT_SUCCESS(Status)) {
        return AdapterCompletePnp(Adapter, Irp, Status);
      }
      return AdapterPassDown(Adapter, Irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_CAPABILITIES:
      return AdapterQueryCapabilities(Adapter, Irp, Stack);
    default:
      break;
  }
  return AdapterPassDown(Adapter, Irp, Irp->IoStatus.Status);
}
