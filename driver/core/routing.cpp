// Routing of every request by the target device's role (IsAdapter) and plug-and-play state.
// No lock: IsAdapter never changes, and a stale DevicePnpState only lets a request reach a
// handler that still guards itself.
#include "adapter/adapter_pnp.h"
#include "core/entry.h"
#include "core/helpers.h"
#include "datapath/read.h"
#include "datapath/write.h"
#include "port/device_control.h"
#include "port/open_close.h"
#include "port/port_pnp.h"
#include "power_wmi/power.h"

// Refusals keep the request's information field as it arrived and give no boost.
static NTSTATUS RefuseRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  CompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

static DeviceExtensionHeader* HeaderOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<DeviceExtensionHeader*>(DeviceObject->DeviceExtension);
}

PAGED_ROUTINE NTSTATUS NTAPI DispatchIo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DeviceExtensionHeader* Header = HeaderOf(DeviceObject);

  // Role before state: the adapter's named device object refuses serial I/O even after
  // its removal.
  if (Header->IsAdapter) {
    return RefuseRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  if (Header->DevicePnpState == Deleted) {
    return RefuseRequest(Irp, STATUS_DELETE_PENDING);
  }

  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE:
      return PortCreate(DeviceObject, Irp);
    case IRP_MJ_CLOSE:
      return PortClose(DeviceObject, Irp);
    case IRP_MJ_READ:
      return PortRead(DeviceObject, Irp);
    case IRP_MJ_WRITE:
      return PortWrite(DeviceObject, Irp);
    case IRP_MJ_DEVICE_CONTROL:
      return PortDeviceControl(DeviceObject, Irp);
    case IRP_MJ_CLEANUP:
      return PortCleanup(DeviceObject, Irp);
    default:
      return RefuseRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

PAGED_ROUTINE NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DeviceExtensionHeader* Header = HeaderOf(DeviceObject);

  // A removed device's lower stack may be gone: nothing is passed down.
  if (Header->DevicePnpState == Deleted) {
    return RefuseRequest(Irp, STATUS_DELETE_PENDING);
  }
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Header->IsAdapter) {
    return AdapterDispatchPnp(DeviceObject, Irp, Stack, static_cast<AdapterExtension*>(Header));
  }
  return PortDispatchPnp(DeviceObject, Irp, Stack, static_cast<PortExtension*>(Header));
}

// Non-pageable: the power manager may send power requests at DISPATCH_LEVEL.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtensionHeader* Header = HeaderOf(DeviceObject);

  if (Header->DevicePnpState == Deleted) {
    // The power manager holds back the device's next power request until told.
    PoStartNextPowerIrp(Irp);
    return RefuseRequest(Irp, STATUS_DELETE_PENDING);
  }
  if (Header->IsAdapter) {
    return AdapterDispatchPower(static_cast<AdapterExtension*>(Header), Irp);
  }
  return PortDispatchPower(static_cast<PortExtension*>(Header), Irp);
}
