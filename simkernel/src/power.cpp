// The power manager: PoCallDriver at the IRQL the target's flags call for, one system and one
// device set or query request active per device object (the next waits for the active one's
// PoStartNextPowerIrp there), PoStartNextPowerIrp accounting (every device a set or query
// power request visits starts the next one exactly once), recorded power states and device
// power requests.
#include <algorithm>
#include <deque>

#include "io_internal.h"
#include "power_internal.h"

namespace sim::iom {
namespace {

bool MustStartNext(UCHAR minor) { return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER; }

bool Pageable(PDEVICE_OBJECT device) {
  return device && (device->Flags & DO_POWER_PAGABLE) && !(device->Flags & DO_POWER_INRUSH);
}

// Calls the target at the IRQL its flags ask for, from the calling task.
NTSTATUS Present(PDEVICE_OBJECT device, PIRP irp, bool skipPendingCheck) {
  sim::Task* self = sim::RequireTask("PoCallDriver");
  if (Pageable(device)) return CallDriver(device, irp, true, skipPendingCheck);
  // Non-pageable power code may be called at DISPATCH_LEVEL, and is.
  KIRQL old = self->irql;
  if (old < DISPATCH_LEVEL) KeRaiseIrql(DISPATCH_LEVEL, &old);
  NTSTATUS status = CallDriver(device, irp, true, skipPendingCheck);
  if (old < DISPATCH_LEVEL) KeLowerIrql(old);
  return status;
}

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
  Present(device, irp, true);
}

// The request was already answered STATUS_PENDING for the target: it goes from a worker thread.
void PresentLater(PDEVICE_OBJECT device, PIRP irp) {
  auto* work = new PowerWork{{}, device, irp};
  ExInitializeWorkItem(&work->item, PowerWorker, work);
  ExQueueWorkItem(&work->item, DelayedWorkQueue);
}

// ---- Per-device serialisation ----

struct Active {
  PIRP irp = nullptr;
  uint64_t serial = 0;
  PDEVICE_OBJECT device = nullptr;
  bool Is(PIRP other, PDEVICE_OBJECT at) const {
    IrpRecord* record = FindIrp(other);
    return irp == other && device == at && record && record->serial == serial;
  }
};

struct Waiting {
  PIRP irp;
  uint64_t ticket;  // arrival order across devices
};

struct DeviceQueue {
  Active active[2];                 // [0] system, [1] device power
  std::deque<Waiting> waiting[2];
};

struct PowerQueues {
  std::unordered_map<PDEVICE_OBJECT, DeviceQueue> devices;
  Active inrush;                    // one power-up of an inrush device at a time, machine-wide
  uint64_t nextTicket = 1;
};

PowerQueues& Queues() { return Machine::Current().State<PowerQueues>(); }

// Which queue a request belongs to at the device it is about to reach; -1 if none.
int Kind(PIO_STACK_LOCATION sp) {
  if (sp->MajorFunction != IRP_MJ_POWER || !MustStartNext(sp->MinorFunction)) return -1;
  return sp->Parameters.Power.Type == SystemPowerState ? 0 : 1;
}

bool NeedsInrush(PDEVICE_OBJECT device, PIO_STACK_LOCATION sp) {
  return (device->Flags & DO_POWER_INRUSH) && sp->MinorFunction == IRP_MN_SET_POWER &&
         sp->Parameters.Power.Type == DevicePowerState && sp->Parameters.Power.State.DeviceState == PowerDeviceD0;
}

bool Busy(PDEVICE_OBJECT device, PIO_STACK_LOCATION sp, int kind) {
  PowerQueues& queues = Queues();
  if (queues.devices[device].active[kind].irp) return true;
  return NeedsInrush(device, sp) && queues.inrush.irp;
}

void Claim(PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION sp, int kind) {
  PowerQueues& queues = Queues();
  const Active active{irp, FindIrp(irp)->serial, device};
  queues.devices[device].active[kind] = active;
  if (NeedsInrush(device, sp)) queues.inrush = active;
}

// The first waiting request of a queue that may go now is claimed and sent from a worker.
void StartWaiting(PDEVICE_OBJECT device, int kind) {
  auto& waiting = Queues().devices[device].waiting[kind];
  if (waiting.empty()) return;
  PIRP irp = waiting.front().irp;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  if (Busy(device, sp, kind)) return;
  waiting.pop_front();
  Claim(device, irp, sp, kind);
  sim::Machine::Current().Note("power request released to " + DescribeDevice(device));
  PresentLater(device, irp);
}

// The inrush slot is free: the device power requests waiting longest go first.
void StartWaitingInrush() {
  std::vector<std::pair<uint64_t, PDEVICE_OBJECT>> heads;
  for (auto& [device, queue] : Queues().devices)
    if (!queue.waiting[1].empty()) heads.emplace_back(queue.waiting[1].front().ticket, device);
  std::sort(heads.begin(), heads.end());
  for (const auto& [ticket, device] : heads) {
    if (Queues().inrush.irp) return;
    StartWaiting(device, 1);
  }
}

// PoStartNextPowerIrp at `device`: its active request of that kind (and the inrush slot) let go.
void ReleaseActive(PIRP irp, PDEVICE_OBJECT device, PIO_STACK_LOCATION sp) {
  const int kind = Kind(sp);
  if (kind < 0) return;
  PowerQueues& queues = Queues();
  auto found = queues.devices.find(device);
  if (found == queues.devices.end() || !found->second.active[kind].Is(irp, device)) return;
  found->second.active[kind] = {};
  const bool inrush = queues.inrush.Is(irp, device);
  if (inrush) queues.inrush = {};
  StartWaiting(device, kind);
  if (inrush) StartWaitingInrush();
}

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
  if (record->powerStarts[sp->DeviceObject] == 0) ReleaseActive(Irp, sp->DeviceObject, sp);
  if (++record->powerStarts[sp->DeviceObject] == 2)
    Report("PoStartNextPowerIrp called twice", Describe(*record) + " at " + DescribeDevice(sp->DeviceObject));
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  sim::Task* self = sim::RequireTask("PoCallDriver");
  self->currentCall = "PoCallDriver";
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  IrpRecord* record = FindIrp(Irp);
  const int kind = DeviceObject && record && !record->freed && Irp->CurrentLocation > 1 ? Kind(next) : -1;
  if (kind >= 0) {
    if (Busy(DeviceObject, next, kind) || !Queues().devices[DeviceObject].waiting[kind].empty()) {
      // Held, in order, until the device's active request of this kind is started past there.
      next->Control |= SL_PENDING_RETURNED;
      record->inFlight = true;
      Queues().devices[DeviceObject].waiting[kind].push_back({Irp, Queues().nextTicket++});
      sim::Machine::Current().Note("PoCallDriver " + Describe(*record) + " waits at " + DescribeDevice(DeviceObject));
      return STATUS_PENDING;
    }
    Claim(DeviceObject, Irp, next, kind);
  }
  if (!DeviceObject || !Pageable(DeviceObject) || self->irql == PASSIVE_LEVEL) return Present(DeviceObject, Irp, false);
  // Pageable power code runs at PASSIVE_LEVEL: hand the request to a worker thread.
  next->Control |= SL_PENDING_RETURNED;
  PresentLater(DeviceObject, Irp);
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
  const size_t logged = sim::powerm::LogSent(DeviceObject, MinorFunction,
                                             MinorFunction == IRP_MN_WAIT_WAKE ? SystemPowerState : DevicePowerState,
                                             MinorFunction == IRP_MN_WAIT_WAKE ? ULONG(PowerState.SystemState)
                                                                               : ULONG(PowerState.DeviceState),
                                             true);
  IrpRecord& record = *FindIrp(irp);
  record.major = IRP_MJ_POWER;
  record.onTop = [=](const IO_STATUS_BLOCK& status, CCHAR, ULONG_PTR) {
    Io().powerRequests[index].status = status.Status;
    sim::powerm::LogCompleted(logged, status.Status);
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
