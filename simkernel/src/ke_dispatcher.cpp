// Events, waits and fast mutexes. Waiters are kept per object in the kernel state; a
// synchronization object satisfies one waiter and resets, a notification object all.
#include <algorithm>
#include <sstream>

#include "kernel_objects.h"
#include "race_annotations.h"

namespace sim {
namespace {

bool IsSynchronization(const DISPATCHER_HEADER* header) {
  return header->Type == kEventSynchronizationObject || header->Type == kTimerSynchronizationObject;
}

std::string Describe(const DISPATCHER_HEADER* header) {
  std::ostringstream out;
  switch (header->Type) {
    case kEventNotificationObject: out << "notification event "; break;
    case kEventSynchronizationObject: out << "synchronization event "; break;
    case kTimerNotificationObject: out << "notification timer "; break;
    case kTimerSynchronizationObject: out << "synchronization timer "; break;
    default: out << "object "; break;
  }
  out << static_cast<const void*>(header);
  return out.str();
}

void RemoveWaiter(const void* object, Task* task) {
  auto& waiters = Kernel().waiters;
  auto it = waiters.find(object);
  if (it == waiters.end()) return;
  auto& queue = it->second;
  queue.erase(std::remove(queue.begin(), queue.end(), task), queue.end());
  if (queue.empty()) waiters.erase(it);
}

// A timed wait ends on a clock tick, as a kernel timer does.
VirtualTime Deadline(const LARGE_INTEGER& timeout) { return TickDueTime(timeout.QuadPart); }

}  // namespace

void SignalObject(DISPATCHER_HEADER* header) {
  Machine& machine = Machine::Current();
  header->SignalState = 1;
  auto& waiters = Kernel().waiters;
  auto it = waiters.find(header);
  if (it == waiters.end()) return;
  auto& queue = it->second;
  if (IsSynchronization(header)) {
    Task* first = queue.front();
    queue.pop_front();
    header->SignalState = 0;
    machine.Wake(first, STATUS_SUCCESS);
  } else {
    for (Task* task : queue) machine.Wake(task, STATUS_SUCCESS);
    queue.clear();
  }
  if (queue.empty()) waiters.erase(it);
}

}  // namespace sim

using sim::Machine;

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  if (Machine::Exists() && sim::Kernel().waiters.count(&Event->Header))
    Machine::Current().Report("event reinitialised while waited on", "");
  Event->Header.Type = Type == NotificationEvent ? sim::kEventNotificationObject : sim::kEventSynchronizationObject;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  UNREFERENCED_PARAMETER(Wait);
  Machine& machine = Machine::Current();
  machine.Point("KeSetEvent");
  if (sim::Task* self = machine.CurrentTask()) self->currentCall = "KeSetEvent";
  LONG previous = Event->Header.SignalState;
  sim::race::Release(&Event->Header);
  sim::SignalObject(&Event->Header);
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) { Event->Header.SignalState = 0; }

LONG KeResetEvent(PRKEVENT Event) {
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) { return Event->Header.SignalState; }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  Machine& machine = Machine::Current();
  sim::Task* self = sim::RequireTask("KeWaitForSingleObject");
  machine.Point("KeWaitForSingleObject");
  self->currentCall = "KeWaitForSingleObject";
  const bool mayBlock = Timeout == nullptr || Timeout->QuadPart != 0;
  if (mayBlock && self->irql >= DISPATCH_LEVEL)
    machine.Report("wait with a non-zero timeout at DISPATCH_LEVEL", "");
  if (mayBlock && !self->heldSpinLocks.empty())
    machine.Report("spin lock held across a wait", std::to_string(self->heldSpinLocks.size()) + " held");
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  if (header->SignalState > 0) {
    if (sim::IsSynchronization(header)) header->SignalState = 0;
    sim::race::Acquire(header);
    return STATUS_SUCCESS;
  }
  if (!mayBlock) return STATUS_TIMEOUT;
  sim::Kernel().waiters[header].push_back(self);
  std::optional<sim::VirtualTime> deadline;
  if (Timeout) deadline = sim::Deadline(*Timeout);
  NTSTATUS status = machine.Block(sim::Describe(header), deadline, STATUS_TIMEOUT);
  if (status == STATUS_TIMEOUT)
    sim::RemoveWaiter(header, self);
  else
    sim::race::Acquire(header);
  self->currentCall = "KeWaitForSingleObject";
  return status;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  Machine& machine = Machine::Current();
  sim::Task* self = sim::RequireTask("KeDelayExecutionThread");
  self->currentCall = "KeDelayExecutionThread";
  if (self->irql > APC_LEVEL) machine.Report("wait with a non-zero timeout at DISPATCH_LEVEL", "delay");
  machine.Block("delay", sim::Deadline(*Interval), STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
  FastMutex->Count = 1;
  FastMutex->Owner = nullptr;
  FastMutex->Contention = 0;
  KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
  FastMutex->OldIrql = 0;
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
  Machine& machine = Machine::Current();
  sim::Task* self = sim::RequireTask("ExAcquireFastMutex");
  machine.Point("ExAcquireFastMutex");
  self->currentCall = "ExAcquireFastMutex";
  if (self->irql > APC_LEVEL) machine.Report("fast mutex acquired above APC_LEVEL", "");
  if (FastMutex->Owner == self->Thread()) machine.Fatal("fast mutex acquired recursively", "");
  while (FastMutex->Owner != nullptr) {
    FastMutex->Contention++;
    sim::Kernel().waiters[FastMutex].push_back(self);
    machine.Block("fast mutex " + std::to_string(reinterpret_cast<uintptr_t>(FastMutex)));
  }
  FastMutex->Count = 0;
  FastMutex->Owner = self->Thread();
  FastMutex->OldIrql = self->irql;
  if (self->irql < APC_LEVEL) self->irql = APC_LEVEL;
  sim::race::Acquire(FastMutex);
}

BOOLEAN ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
  sim::Task* self = sim::RequireTask("ExTryToAcquireFastMutex");
  if (FastMutex->Owner != nullptr) return FALSE;
  FastMutex->Count = 0;
  FastMutex->Owner = self->Thread();
  FastMutex->OldIrql = self->irql;
  if (self->irql < APC_LEVEL) self->irql = APC_LEVEL;
  sim::race::Acquire(FastMutex);
  return TRUE;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
  Machine& machine = Machine::Current();
  sim::Task* self = sim::RequireTask("ExReleaseFastMutex");
  self->currentCall = "ExReleaseFastMutex";
  if (FastMutex->Owner != self->Thread()) {
    machine.Report("fast mutex released by a task that does not own it", "");
    return;
  }
  sim::race::Release(FastMutex);
  FastMutex->Owner = nullptr;
  FastMutex->Count = 1;
  self->irql = static_cast<KIRQL>(FastMutex->OldIrql);
  auto& waiters = sim::Kernel().waiters;
  auto it = waiters.find(FastMutex);
  if (it != waiters.end()) {
    sim::Task* next = it->second.front();
    it->second.pop_front();
    if (it->second.empty()) waiters.erase(it);
    machine.Wake(next, STATUS_SUCCESS);
  }
  machine.Point("ExReleaseFastMutex");
}
