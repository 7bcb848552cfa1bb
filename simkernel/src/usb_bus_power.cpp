// What the hub driver does with a device's power requests: a device set-power to D1-D3
// suspends the device's port (its transfers come back cancelled from the host controller,
// new traffic is refused), D0 resumes it, and a resumed port whose device lost its power is
// found changed and the device presented anew. The power requests a test makes the hub
// delay or fail are handled here too.
#include "simkernel/io.h"
#include "usb_bus_internal.h"

namespace sim::usb::bus {
namespace {

void Resume(const std::shared_ptr<Slot>& slot) {
  BusState& bus = Bus();
  BusPort& port = *slot->port;
  if (slot->noticeHeld) {
    slot->noticeHeld = false;
    if (bus.pnp.departed) bus.pnp.departed(port, slot->pdo);
  }
  if (slot->present && port.TakePowerLoss()) {
    // The connect status changed while the port slept: the old presentation departs, the
    // device (powered up blank) is enumerated again at a new address.
    port.Detach();
    slot->device->PowerLost();
    port.Attach();
    return;
  }
  ScheduleFrame();
}

void SetDevicePower(const std::shared_ptr<Slot>& slot, DEVICE_POWER_STATE state) {
  if (state < PowerDeviceD0 || state > PowerDeviceD3) return;  // nothing a port can be put in
  BusState& bus = Bus();
  KIRQL irql;
  KeAcquireSpinLock(&bus.lock, &irql);
  const bool wasSuspended = Suspended(*slot);
  slot->power = state;
  KeReleaseSpinLock(&bus.lock, irql);
  if (state != PowerDeviceD0) {
    if (!wasSuspended && slot->present) RequestService();
  } else if (wasSuspended) {
    Resume(slot);
  }
}

NTSTATUS FinishSetPower(const std::shared_ptr<Slot>& slot, PDEVICE_OBJECT pdo, PIRP irp, NTSTATUS failure) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (NT_SUCCESS(failure) && sp->Parameters.Power.Type == DevicePowerState) {
    SetDevicePower(slot, sp->Parameters.Power.State.DeviceState);
    PoSetPowerState(pdo, DevicePowerState, sp->Parameters.Power.State);
  }
  const NTSTATUS status = NT_SUCCESS(failure) ? STATUS_SUCCESS : failure;
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

NTSTATUS DispatchPdoPower(const std::shared_ptr<Slot>& slot, PDEVICE_OBJECT pdo, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_SET_POWER) return io::DefaultBusDispatch(pdo, irp);
  BusPort& port = *slot->port;
  const bool pend = port.TakeSetPowerPend();
  const NTSTATUS failure = port.TakeSetPowerFailure();
  if (!pend) return FinishSetPower(slot, pdo, irp, failure);
  IoMarkIrpPending(irp);
  Machine& machine = Machine::Current();
  const VirtualTime wait = (machine.Now() / kFrameLength + 1) * kFrameLength - machine.Now();
  machine.Spawn("usb-hub set power", TaskKind::Device, [slot, pdo, irp, failure, wait] {
    LARGE_INTEGER interval;
    interval.QuadPart = -wait;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    FinishSetPower(slot, pdo, irp, failure);
  });
  return STATUS_PENDING;
}

}  // namespace sim::usb::bus

DEVICE_POWER_STATE sim::usb::BusPort::PowerState() const {
  return current_ ? current_->power : PowerDeviceUnspecified;
}
