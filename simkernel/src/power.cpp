// The power manager: PoCallDriver at the IRQL the target's flags call for, PoStartNextPowerIrp
// accounting (every device a set or query power request visits starts the next one exactly
// once), recorded power states and device power requests.
#include "io_internal.h"

namespace sim::iom {
namespace {

struct PowerWork {
  WORK_QUEUE_ITEM item;
  PDEVICE_OBJECT device;
  PIRP irp;
};

VOID NTAPI PowerWorker(PVOID parameter) {
  auto* work = static_cast<PowerWork*>(parameter);
  PDEVICE_OBJECT device = work->device;
  PIRP irp = work->irp;
  delete work;
  CallDriver(device, irp, true, true);
}

bool MustStartNext(UCHAR minor) { return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER; }

}  // namespace

void PowerLocationPassed(IrpRecord& record, int location) {
  if (!MustStartNext(record.minor)) return;
  for (const auto& [device, at] : record.powerDispatches) {
    if (at != location || record.powerStarts[device] != 0) continue;
    if (record.powerReported.insert(device).second)
      Report("PoStartNextPowerIrp not called", Describe(record) + " at " + DescribeDevice(device));
  }
}

}  // namespace sim::iom

using namespace sim::iom;

VOID PoStartNextPowerIrp(PIRP Irp) {
  SetCall("PoStartNextPowerIrp");
  IrpRecord* record = FindIrp(Irp);
  if (record && record->freed) {
    Report("irp used after free", Describe(*record) + " given to PoStartNextPowerIrp");
    return;
  }
  if (Irp->CurrentLocation < 1 || Irp->CurrentLocation > Irp->StackCount) {
    Report("PoStartNextPowerIrp on non-power irp", "the IRP has no current stack location");
    return;
  }
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  if (sp->MajorFunction != IRP_MJ_POWER) {
    Report("PoStartNextPowerIrp on non-power irp", record ? Describe(*record) : MajorName(sp->MajorFunction));
    return;
  }
  if (!record) return;
  if (++record->powerStarts[sp->DeviceObject] == 2)
    Report("PoStartNextPowerIrp called twice", Describe(*record) + " at " + DescribeDevice(sp->DeviceObject));
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  sim::Task* self = sim::RequireTask("PoCallDriver");
  self->currentCall = "PoCallDriver";
  const bool pageable = (DeviceObject->Flags & DO_POWER_PAGABLE) && !(DeviceObject->Flags & DO_POWER_INRUSH);
  if (!pageable) {
    // Non-pageable power code may be called at DISPATCH_LEVEL, and is.
    KIRQL old = self->irql;
    if (old < DISPATCH_LEVEL) KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS status = CallDriver(DeviceObject, Irp, true, false);
    if (old < DISPATCH_LEVEL) KeLowerIrql(old);
    return status;
  }
  if (self->irql == PASSIVE_LEVEL) return CallDriver(DeviceObject, Irp, true, false);
  // Pageable power code runs at PASSIVE_LEVEL: hand the request to a worker thread.
  IoGetNextIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
  auto* work = new PowerWork{{}, DeviceObject, Irp};
  ExInitializeWorkItem(&work->item, PowerWorker, work);
  ExQueueWorkItem(&work->item, DelayedWorkQueue);
  return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  SetCall("PoSetPowerState");
  IoState& io = Io();
  auto& states = Type == SystemPowerState ? io.systemPower : io.devicePower;
  POWER_STATE previous{};
  if (auto it = states.find(DeviceObject); it != states.end()) previous = it->second;
  states[DeviceObject] = State;
  const ULONG value = Type == SystemPowerState ? static_cast<ULONG>(State.SystemState)
                                               : static_cast<ULONG>(State.DeviceState);
  const ULONG old = Type == SystemPowerState ? static_cast<ULONG>(previous.SystemState)
                                             : static_cast<ULONG>(previous.DeviceState);
  io.powerHistory.push_back(sim::io::PowerStateChange{DeviceObject, Type, value, old});
  return previous;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  SetCall("PoRequestPowerIrp");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE &&
      MinorFunction != IRP_MN_POWER_SEQUENCE)
    return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT top = sim::io::TopOfStack(DeviceObject);
  PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::Manager, true);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    next->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
  }
  IoState& io = Io();
  const size_t index = io.powerRequests.size();
  io.powerRequests.push_back(sim::io::PowerRequestRecord{DeviceObject, MinorFunction, PowerState, STATUS_PENDING});
  IrpRecord& record = *FindIrp(irp);
  record.major = IRP_MJ_POWER;
  record.onTop = [=](const IO_STATUS_BLOCK& status, CCHAR, ULONG_PTR) {
    Io().powerRequests[index].status = status.Status;
    IO_STATUS_BLOCK copy = status;
    if (CompletionFunction) CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &copy);
  };
  if (Irp) *Irp = irp;
  PoCallDriver(top, irp);
  return STATUS_PENDING;
}

namespace sim::io {

POWER_STATE RecordedPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type) {
  IoState& io = Io();
  auto& states = type == SystemPowerState ? io.systemPower : io.devicePower;
  auto it = states.find(device);
  return it == states.end() ? POWER_STATE{} : it->second;
}

std::vector<PowerStateChange> PowerStateHistory() { return Io().powerHistory; }

std::vector<PowerRequestRecord> PowerRequests() { return Io().powerRequests; }

}  // namespace sim::io
