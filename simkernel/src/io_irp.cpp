// IRPs: allocation, dispatch through IoCallDriver and completion through IoCompleteRequest,
// with the verifier's bookkeeping of who owns each IRP and which locations pended.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "io_internal.h"
#include "race_annotations.h"

namespace sim::iom {
namespace {

constexpr size_t kFreedIrpQuarantine = 1024;

PIO_STACK_LOCATION Location(PIRP irp, int index) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (index - 1);
}

void InitializeIrpMemory(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  std::memset(irp, 0, packetSize);
  irp->Type = kTypeIrp;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = Location(irp, stackSize + 1);
}

// A fresh generation of an IRP's bookkeeping, keeping who made it and who owns its memory.
void Renew(IrpRecord& record) {
  IrpRecord renewed;
  renewed.serial = Io().nextIrpSerial++;
  renewed.irp = record.irp;
  renewed.origin = record.origin;
  renewed.ownsMemory = record.ownsMemory;
  record = std::move(renewed);
}

// Removes a frame from the active list even when a task is unwound through the dispatch.
struct FrameGuard {
  Frame* frame;
  ~FrameGuard() {
    auto& frames = Io().frames;
    auto it = std::find(frames.rbegin(), frames.rend(), frame);
    if (it != frames.rend()) frames.erase(std::next(it).base());
  }
};

void ReportPending(uint64_t serial, int location, const std::string& rule, const std::string& detail) {
  if (!Io().pendingReported.insert({serial, location}).second) return;
  Report(rule, detail);
}

// Completion is going past `location`: the dispatch there is over as far as the IRP goes.
void LocationPassed(IrpRecord& record, int location, bool pendingBit) {
  for (Frame* frame : Io().frames) {
    if (frame->serial != record.serial || frame->location != location) continue;
    frame->passed = true;
    if (pendingBit) frame->marked = true;
  }
  if (record.pendingOwed.erase(location) && !pendingBit)
    ReportPending(record.serial, location, "pending returned without IoMarkIrpPending",
                  Describe(record) + " at stack location " + std::to_string(location));
  if (!record.powerDispatches.empty()) PowerLocationPassed(record, location);
}

// A lower driver's completion may run inside IoCallDriver or IoCompleteRequest on this same
// processor and take the caller's lock again: with the cancel spin lock or any executive spin
// lock held, that spins for ever.
void CheckLocksHeld(Task* task, const char* verb, const std::string& what) {
  if (!task) return;
  const void* cancelLock = &Io().cancelLock;
  if (task->holdsCancelLock) Report(std::string("irp ") + verb + " holding cancel spin lock", what);
  for (const void* lock : task->heldSpinLocks) {
    if (lock == cancelLock) continue;
    Report(std::string("irp ") + verb + " holding spin lock", what);
    return;
  }
}

void ZeroLocation(PIO_STACK_LOCATION sp) {
  sp->MinorFunction = 0;
  sp->Flags = 0;
  sp->Control = 0;
  sp->Parameters.Others.Argument1 = nullptr;
  sp->Parameters.Others.Argument2 = nullptr;
  sp->Parameters.Others.Argument3 = nullptr;
  sp->Parameters.Others.Argument4 = nullptr;
  sp->FileObject = nullptr;
}

void CompleteToTop(IrpRecord& record, CCHAR boost) {
  PIRP irp = record.irp;
  record.completedToTop = true;
  record.inFlight = false;
  if (record.origin == IrpOrigin::Driver || record.origin == IrpOrigin::External) {
    // Nobody above the driver's own location can take it back: a completion routine had to.
    Report("driver irp completed to top", Describe(record));
    return;
  }
  const IO_STATUS_BLOCK status = irp->IoStatus;
  ULONG_PTR delivered = 0;
  if (!IsError(status.Status)) {
    if (record.maxInformation && status.Information > *record.maxInformation)
      Report("information exceeds buffer", Describe(record) + ": Information " + std::to_string(status.Information) +
                                               " for a buffer of " + std::to_string(*record.maxInformation));
    if (record.copyBackTo) {
      delivered = std::min<ULONG_PTR>(status.Information, record.copyBackLength);
      if (record.copyBackFromSystemBuffer && delivered && irp->AssociatedIrp.SystemBuffer) {
        race::Read(irp->AssociatedIrp.SystemBuffer, delivered);
        std::memcpy(record.copyBackTo, irp->AssociatedIrp.SystemBuffer, delivered);
      }
    }
  }
  for (PMDL mdl = irp->MdlAddress; mdl;) {
    PMDL next = mdl->Next;
    FreeMdl(mdl);
    mdl = next;
  }
  irp->MdlAddress = nullptr;
  if (irp->UserIosb) *irp->UserIosb = status;
  PKEVENT event = irp->UserEvent;
  auto onTop = std::move(record.onTop);
  if (record.cancelHolds > 0)
    record.releaseDeferred = true;
  else
    ReleaseIrp(irp);  // record is gone from here on
  if (onTop) onTop(status, boost, delivered);
  if (event) KeSetEvent(event, boost, FALSE);
}

}  // namespace

bool FailurePlan::Consume() {
  if (skip > 0) {
    --skip;
    return false;
  }
  if (count > 0) {
    --count;
    return true;
  }
  return false;
}

bool IsError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

IoState& Io() { return Machine::Current().State<IoState>(); }

IoState::~IoState() {
  for (auto& [irp, record] : irps)
    if (record.ownsMemory) std::free(irp);
  for (PMDL mdl : mdls) std::free(mdl);
}

void Report(const std::string& rule, const std::string& detail) { Machine::Current().Report(rule, detail); }

void SetCall(const char* call) {
  if (Task* task = Machine::Current().CurrentTask()) task->currentCall = call;
}

KIRQL CurrentIrql() {
  Task* task = Machine::Current().CurrentTask();
  return task ? task->irql : KIRQL(PASSIVE_LEVEL);
}

std::string MajorName(UCHAR major) {
  switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_READ: return "IRP_MJ_READ";
    case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
    case IRP_MJ_QUERY_INFORMATION: return "IRP_MJ_QUERY_INFORMATION";
    case IRP_MJ_SET_INFORMATION: return "IRP_MJ_SET_INFORMATION";
    case IRP_MJ_FLUSH_BUFFERS: return "IRP_MJ_FLUSH_BUFFERS";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_SHUTDOWN: return "IRP_MJ_SHUTDOWN";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    case IRP_MJ_POWER: return "IRP_MJ_POWER";
    case IRP_MJ_SYSTEM_CONTROL: return "IRP_MJ_SYSTEM_CONTROL";
    case IRP_MJ_PNP: return "IRP_MJ_PNP";
  }
  return "major " + std::to_string(major);
}

std::string Describe(const IrpRecord& record) {
  return "irp #" + std::to_string(record.serial) + " (" + MajorName(record.major) + ")";
}

IrpRecord* FindIrp(PIRP irp) {
  auto& irps = Io().irps;
  auto it = irps.find(irp);
  return it == irps.end() ? nullptr : &it->second;
}

IrpRecord& TrackIrp(PIRP irp, IrpOrigin origin, bool ownsMemory) {
  IrpRecord record;
  record.serial = Io().nextIrpSerial++;
  record.irp = irp;
  record.origin = origin;
  record.ownsMemory = ownsMemory;
  auto& slot = Io().irps[irp];
  slot = std::move(record);
  return slot;
}

PIRP AllocateIrp(CCHAR stackSize, IrpOrigin origin, bool injectable) {
  if (stackSize < 0) return nullptr;
  if (injectable && Io().irpFailures.Consume()) return nullptr;
  const USHORT size = IoSizeOfIrp(stackSize);
  auto* irp = static_cast<PIRP>(std::calloc(1, size));
  if (!irp) return nullptr;
  InitializeIrpMemory(irp, size, stackSize);
  TrackIrp(irp, origin, true);
  return irp;
}

PIRP AllocateManagerIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor) {
  PDEVICE_OBJECT top = io::TopOfStack(device);
  PIRP irp = AllocateIrp(top->StackSize, IrpOrigin::Manager, false);
  irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
  irp->RequestorMode = KernelMode;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  IrpRecord& record = *FindIrp(irp);
  record.major = major;
  record.minor = minor;
  return irp;
}

void ReleaseIrp(PIRP irp) {
  IoState& io = Io();
  IrpRecord* record = FindIrp(irp);
  if (!record) return;
  record->freed = true;
  record->inFlight = false;
  record->systemBuffer.reset();
  record->onTop = nullptr;
  record->pendingOwed.clear();
  irp->Type = 0;
  if (!record->ownsMemory) {
    io.irps.erase(irp);
    return;
  }
  io.freedIrps.emplace_back(irp, record->serial);
  while (io.freedIrps.size() > kFreedIrpQuarantine) {
    auto [oldest, serial] = io.freedIrps.front();
    io.freedIrps.pop_front();
    auto it = io.irps.find(oldest);
    if (it != io.irps.end() && it->second.freed && it->second.serial == serial) {
      io.irps.erase(it);
      std::free(oldest);
    }
  }
}

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPo, bool skipPendingCheck) {
  Machine& machine = Machine::Current();
  Task* task = RequireTask("IoCallDriver");
  machine.Point("IoCallDriver");
  task->currentCall = "IoCallDriver";
  IoState& io = Io();
  IrpRecord* record = FindIrp(irp);
  if (!record) record = &TrackIrp(irp, IrpOrigin::External, false);
  if (record->freed) {
    Report("irp used after free", Describe(*record) + " sent to " + DescribeDevice(device));
    return STATUS_INVALID_PARAMETER;
  }
  if (!device || !device->DriverObject) {
    Report("irp sent to deleted device", Describe(*record) + " sent to no device");
    return STATUS_INVALID_PARAMETER;
  }
  if (DeviceRecord* target = FindDeviceRecord(device);
      target && target->deleted && device->ReferenceCount == 0 && io::ObjectReferenceCount(device) == 0)
    Report("irp sent to deleted device", Describe(*record) + " sent to " + DescribeDevice(device));
  CheckLocksHeld(task, "passed down", Describe(*record) + " to " + DescribeDevice(device));
  if (irp->CurrentLocation <= 1) {
    Report("irp stack overflow", Describe(*record) + " has no stack location left for " + DescribeDevice(device));
    return STATUS_INVALID_PARAMETER;
  }
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  sp->DeviceObject = device;
  const int location = irp->CurrentLocation;
  record->major = sp->MajorFunction;
  record->minor = sp->MinorFunction;
  record->inFlight = true;
  record->everDispatched = true;
  if (record->dispatchLog) record->dispatchLog->push_back(device);
  if (sp->MajorFunction == IRP_MJ_POWER) {
    if (!viaPo) Report("power irp passed with IoCallDriver", Describe(*record) + " to " + DescribeDevice(device));
    record->powerDispatches.emplace_back(device, location);
  }
  machine.Note("IoCallDriver " + Describe(*record) + " -> " + DescribeDevice(device));

  Frame frame;
  frame.serial = record->serial;
  frame.location = location;
  frame.skipPendingCheck = skipPendingCheck;
  io.frames.push_back(&frame);
  FrameGuard guard{&frame};
  const KIRQL irqlBefore = task->irql;
  const size_t locksBefore = task->heldSpinLocks.size();
  const std::string what = Describe(*record);

  NTSTATUS status;
  PDRIVER_DISPATCH routine =
      sp->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION ? device->DriverObject->MajorFunction[sp->MajorFunction] : nullptr;
  if (!routine) {
    Report("null dispatch routine", what + " for " + DescribeDevice(device));
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else {
    // Whoever completes the IRP later got it from here, through the lower driver's own locks.
    race::Release(irp);
    DriverCode code(device->DriverObject);
    status = routine(device, irp);
  }
  task->currentCall = "IoCallDriver";

  if (task->irql != irqlBefore)
    Report("irql changed by dispatch routine", what + " at " + DescribeDevice(device) + ": IRQL " +
                                                    std::to_string(irqlBefore) + " -> " + std::to_string(task->irql));
  if (task->heldSpinLocks.size() > locksBefore)
    Report("spin lock held on dispatch return", what + " at " + DescribeDevice(device));
  if (!frame.skipPendingCheck) {
    if (status == STATUS_PENDING) {
      if (!frame.marked) {
        if (frame.passed) {
          ReportPending(frame.serial, location, "pending returned without IoMarkIrpPending",
                        what + " at " + DescribeDevice(device));
        } else if (IrpRecord* current = FindIrp(irp); current && current->serial == frame.serial && !current->freed) {
          current->pendingOwed.insert(location);  // settled when completion reaches this location
        }
      }
    } else if (frame.marked) {
      ReportPending(frame.serial, location, "IoMarkIrpPending without pending returned",
                    what + " at " + DescribeDevice(device) + " returned status " + std::to_string(status));
    }
  }
  return status;
}

}  // namespace sim::iom

using namespace sim::iom;

namespace sim::io {

size_t InFlightIrpCount() {
  size_t count = 0;
  for (const auto& [irp, record] : Io().irps) count += record.inFlight && !record.freed;
  return count;
}

size_t AllocatedIrpCount() {
  size_t count = 0;
  for (const auto& [irp, record] : Io().irps)
    count += record.ownsMemory && record.origin == IrpOrigin::Driver && !record.freed;
  return count;
}

void FailNextIrpAllocations(int count, int skip) { Io().irpFailures = FailurePlan{std::max(skip, 0), count}; }

}  // namespace sim::io

USHORT IoSizeOfIrp(CCHAR StackSize) {
  return static_cast<USHORT>(sizeof(IRP) + static_cast<size_t>(std::max<int>(StackSize, 0)) * sizeof(IO_STACK_LOCATION));
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  SetCall("IoAllocateIrp");
  return AllocateIrp(StackSize, IrpOrigin::Driver, true);
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  SetCall("IoInitializeIrp");
  IrpRecord* record = FindIrp(Irp);
  if (record && !record->freed && record->inFlight) Report("irp reused while in flight", Describe(*record));
  if (PacketSize < IoSizeOfIrp(StackSize)) {
    Report("irp packet too small", "IoInitializeIrp with " + std::to_string(PacketSize) + " bytes for " +
                                       std::to_string(StackSize) + " stack locations");
    return;
  }
  InitializeIrpMemory(Irp, PacketSize, StackSize);
  if (record && !record->freed)
    Renew(*record);
  else
    TrackIrp(Irp, IrpOrigin::External, false);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  SetCall("IoReuseIrp");
  IrpRecord* record = FindIrp(Irp);
  if (!record) {
    Report("free of unknown irp", "IoReuseIrp on memory that is not an IRP");
    return;
  }
  if (record->freed) {
    Report("irp used after free", Describe(*record) + " reused");
    return;
  }
  if (record->inFlight) Report("irp reused while in flight", Describe(*record));
  const UCHAR allocationFlags = Irp->AllocationFlags;
  const CCHAR stackCount = Irp->StackCount;
  InitializeIrpMemory(Irp, IoSizeOfIrp(stackCount), stackCount);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Status;
  Renew(*record);
}

VOID IoFreeIrp(PIRP Irp) {
  SetCall("IoFreeIrp");
  IrpRecord* record = FindIrp(Irp);
  if (!record || !record->ownsMemory) {
    Report("free of unknown irp", record ? Describe(*record) + " was not allocated by IoAllocateIrp"
                                         : "IoFreeIrp on memory that is not an IRP");
    return;
  }
  if (record->freed) {
    Report("irp freed twice", Describe(*record));
    return;
  }
  if (record->inFlight) Report("irp freed while in flight", Describe(*record));
  ReleaseIrp(Irp);
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return CallDriver(DeviceObject, Irp, false, false); }

VOID IoMarkIrpPending(PIRP Irp) {
  SetCall("IoMarkIrpPending");
  IrpRecord* record = FindIrp(Irp);
  if (record && record->freed) {
    Report("irp used after free", Describe(*record) + " marked pending");
    return;
  }
  if (Irp->CurrentLocation < 1 || Irp->CurrentLocation > Irp->StackCount) {
    Report("irp stack overflow", "IoMarkIrpPending with no current stack location");
    return;
  }
  IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
  if (!record) return;
  for (Frame* frame : Io().frames)
    if (frame->serial == record->serial && frame->location == Irp->CurrentLocation) frame->marked = true;
}

VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  sim::Machine& machine = sim::Machine::Current();
  SetCall("IoCompleteRequest");
  IrpRecord* record = FindIrp(Irp);
  if (!record) record = &TrackIrp(Irp, IrpOrigin::External, false);
  if (record->freed) {
    Report(record->completedToTop ? "irp completed twice" : "irp completed after free", Describe(*record));
    return;
  }
  if (record->completedToTop || Irp->CurrentLocation > Irp->StackCount + 1) {
    Report("irp completed twice", Describe(*record));
    return;
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) Report("irp completed with pending status", Describe(*record));
  if (Irp->CancelRoutine) Report("irp completed with cancel routine set", Describe(*record));
  if (CurrentIrql() > DISPATCH_LEVEL)
    Report("irp completed above dispatch level", Describe(*record) + " at IRQL " + std::to_string(CurrentIrql()));
  CheckLocksHeld(machine.CurrentTask(), "completed", Describe(*record));
  record->inFlight = false;
  sim::race::Acquire(Irp);
  machine.Progress();
  const uint64_t serial = record->serial;
  machine.Note("IoCompleteRequest " + Describe(*record) + " status " + std::to_string(Irp->IoStatus.Status) +
               " boost " + std::to_string(PriorityBoost));

  for (;;) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    if (Irp->CurrentLocation > Irp->StackCount + 1) break;
    const int location = Irp->CurrentLocation - 1;
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation - 1;
    const bool pendingBit = (sp->Control & SL_PENDING_RETURNED) != 0;
    Irp->PendingReturned = pendingBit;
    LocationPassed(*record, location, pendingBit);
    const NTSTATUS status = Irp->IoStatus.Status;
    const bool invoke = sp->CompletionRoutine &&
                        ((NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                         (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                         (Irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
      PVOID context = sp->Context;
      ZeroLocation(sp);
      PDEVICE_OBJECT device =
          Irp->CurrentLocation == Irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      const NTSTATUS result = routine(device, Irp, context);
      SetCall("IoCompleteRequest");
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
      record = FindIrp(Irp);
      if (!record || record->serial != serial || record->freed) {
        Report("irp completed after free", "a completion routine freed the IRP and did not return "
                                           "STATUS_MORE_PROCESSING_REQUIRED");
        return;
      }
    } else {
      if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount)
        IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
      ZeroLocation(sp);
    }
  }
  CompleteToTop(*record, PriorityBoost);
}
