// Power requests of the adapter and the ports. The adapter turns system requests into device
// requests for itself: down to D3 before a sleep request goes on, back to D0 once a wake has
// come back. Non-pageable: completions and the device power callback may run at
// DISPATCH_LEVEL.
#include "power_wmi/power.h"

#include "core/helpers.h"
#include "power_wmi/power_transfers.h"

static NTSTATUS NTAPI AdapterPowerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

NTSTATUS PortDispatchPower(PortExtension* Port, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS Status = Irp->IoStatus.Status;
  switch (Stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (Stack->Parameters.Power.Type == SystemPowerState) {
        Port->SystemPowerState = Stack->Parameters.Power.State.SystemState;
      } else {
        PoSetPowerState(Port->Self, DevicePowerState, Stack->Parameters.Power.State);
        Port->DevicePowerState = Stack->Parameters.Power.State.DeviceState;
      }
      Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER:
      Status = STATUS_SUCCESS;
      break;
    default:
      // No wake-up and no power sequence: the request keeps the status it came with.
      break;
  }
  PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Status = Status;
  CompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

static VOID AdapterRecordSystemState(AdapterExtension* Adapter, POWER_STATE State) {
  Adapter->SystemPowerState = State.SystemState;
  PoSetPowerState(Adapter->Self, SystemPowerState, State);
}

// The request is not seen again: its count ends here.
static NTSTATUS AdapterPassPowerDown(AdapterExtension* Adapter, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  PoStartNextPowerIrp(Irp);
  NTSTATUS Status = PoCallDriver(Adapter->LowerDevice, Irp);
  PendingIoDecrement(Adapter);
  return Status;
}

// The request comes back to AdapterPowerComplete, which may hold it there for a device
// request of its own, so it is pending from here on whatever the lower driver does.
static NTSTATUS AdapterPassPowerDownAndBack(AdapterExtension* Adapter, PIRP Irp) {
  IoMarkIrpPending(Irp);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, AdapterPowerComplete, NULL, TRUE, TRUE, TRUE);
  PoCallDriver(Adapter->LowerDevice, Irp);
  return STATUS_PENDING;
}

NTSTATUS AdapterDispatchPower(AdapterExtension* Adapter, PIRP Irp) {
  if (Adapter->DevicePnpState == NotStarted) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Adapter->LowerDevice, Irp);
  }
  PendingIoIncrement(Adapter);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->MinorFunction != IRP_MN_SET_POWER) {
    return AdapterPassPowerDown(Adapter, Irp);
  }
  POWER_STATE State = Stack->Parameters.Power.State;
  Irp->IoStatus.Status = STATUS_SUCCESS;

  if (Stack->Parameters.Power.Type == SystemPowerState) {
    if (State.SystemState <= PowerSystemWorking) {
      return AdapterPassPowerDownAndBack(Adapter, Irp);
    }
    // Going to sleep: the device goes down first; the callback sends this request on.
    IoMarkIrpPending(Irp);
    POWER_STATE Down;
    Down.DeviceState = PowerDeviceD3;
    NTSTATUS Status = PoRequestPowerIrp(Adapter->Self, IRP_MN_SET_POWER, Down, AdapterPowerRequestComplete, Irp, NULL);
    if (!NT_SUCCESS(Status)) {
      // The system sleeps all the same; the device simply stays where it is.
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, AdapterPowerComplete, NULL, TRUE, TRUE, TRUE);
      PoCallDriver(Adapter->LowerDevice, Irp);
    }
    return STATUS_PENDING;
  }

  if (State.DeviceState > PowerDeviceD0) {
    // The bus cancels what is in flight when the device goes down, and refuses new
    // transfers: they are stopped here first, the application's requests kept.
    AdapterHoldTransfers(Adapter);
    PoSetPowerState(Adapter->Self, DevicePowerState, State);
    Adapter->DevicePowerState = State.DeviceState;
    return AdapterPassPowerDown(Adapter, Irp);
  }
  // Powering up: recorded once the lower drivers have done it.
  return AdapterPassPowerDownAndBack(Adapter, Irp);
}

static NTSTATUS NTAPI AdapterPowerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  AdapterExtension* Adapter = (AdapterExtension*)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  POWER_STATE State = Stack->Parameters.Power.State;

  if (Stack->Parameters.Power.Type == DevicePowerState) {
    Adapter->DevicePowerState = State.DeviceState;
    PoSetPowerState(Adapter->Self, DevicePowerState, State);
    AdapterQueuePowerWork(Adapter, POWER_WORK_RESUME);
  } else if (State.SystemState == PowerSystemWorking && Adapter->SystemPowerState > PowerSystemWorking) {
    // Waking: the device comes up before the system request completes, in the callback.
    POWER_STATE Up;
    Up.DeviceState = PowerDeviceD0;
    if (NT_SUCCESS(PoRequestPowerIrp(Adapter->Self, IRP_MN_SET_POWER, Up, AdapterPowerRequestComplete, Irp, NULL))) {
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // The system is awake whether or not a request could be had now: a worker asks again.
    AdapterQueuePowerWork(Adapter, POWER_WORK_REQUEST_D0);
    AdapterRecordSystemState(Adapter, State);
  } else {
    AdapterRecordSystemState(Adapter, State);
  }
  PoStartNextPowerIrp(Irp);
  PendingIoDecrement(Adapter);
  return STATUS_SUCCESS;
}

VOID NTAPI AdapterPowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                       PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(IoStatus);
  AdapterExtension* Adapter = (AdapterExtension*)DeviceObject->DeviceExtension;
  PIRP SystemIrp = (PIRP)Context;

  if (PowerState.DeviceState != PowerDeviceD0) {
    // Down before sleep: the system request goes on now.
    IoCopyCurrentIrpStackLocationToNext(SystemIrp);
    IoSetCompletionRoutine(SystemIrp, AdapterPowerComplete, NULL, TRUE, TRUE, TRUE);
    PoCallDriver(Adapter->LowerDevice, SystemIrp);
    return;
  }
  // Up after a wake. Without a system request it was the worker's second try, whose count
  // ends here as the system request's does.
  if (SystemIrp != NULL) {
    AdapterRecordSystemState(Adapter, IoGetCurrentIrpStackLocation(SystemIrp)->Parameters.Power.State);
    SystemIrp->IoStatus.Status = STATUS_SUCCESS;
    PoStartNextPowerIrp(SystemIrp);
    CompleteRequest(SystemIrp, IO_NO_INCREMENT);
  }
  PendingIoDecrement(Adapter);
}
