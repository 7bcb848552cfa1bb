// Kernel timers on the virtual clock and the DPC engine: one DPC queue and one task per
// simulated processor, so a DPC may run beside dispatch code or another DPC.
#include <algorithm>

#include "kernel_objects.h"
#include "race_annotations.h"

namespace sim {
namespace {

constexpr int kProcessors = 2;

void RunDpcQueue(int index) {
  Machine& machine = Machine::Current();
  Task* self = machine.CurrentTask();
  for (;;) {
    KernelState& kernel = Kernel();
    DpcProcessor& processor = kernel.processors[index];
    if (processor.queue.empty()) {
      machine.Block("DPC queue", std::nullopt, STATUS_TIMEOUT, /*idle=*/true);
      continue;
    }
    PKDPC dpc = processor.queue.front();
    processor.queue.pop_front();
    kernel.queuedDpcs.erase(dpc);
    dpc->Lock = nullptr;
    race::Acquire(dpc);
    self->irql = DISPATCH_LEVEL;
    self->currentCall = "DPC routine";
    machine.Note(self->name + " runs DPC");
    dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
    machine.Progress();
    if (self->irql != DISPATCH_LEVEL)
      machine.Report("DPC routine returned at the wrong IRQL", "IRQL " + std::to_string(self->irql));
    if (!self->heldSpinLocks.empty()) machine.Report("spin lock held on return from a DPC routine", "");
    self->irql = PASSIVE_LEVEL;
    ReleaseDeferredDpcs(self);
    machine.Point("DPC finished");
  }
}

void EnsureProcessors() {
  KernelState& kernel = Kernel();
  if (!kernel.processors.empty()) return;
  kernel.processors.resize(kProcessors);
  for (int i = 0; i < kProcessors; ++i)
    kernel.processors[i].task =
        Machine::Current().Spawn("cpu" + std::to_string(i) + "-dpc", TaskKind::Dpc, [i] { RunDpcQueue(i); }, true);
}

bool TimerIsSynchronization(PKTIMER timer) { return timer->Header.Type == kTimerSynchronizationObject; }

void ArmTimer(PKTIMER timer, VirtualTime due);

void ExpireTimer(PKTIMER timer) {
  KernelState& kernel = Kernel();
  kernel.setTimers.erase(timer);
  Machine::Current().Progress();
  timer->Header.Inserted = FALSE;
  SignalObject(&timer->Header);
  if (timer->Dpc) {
    LARGE_INTEGER now;
    now.QuadPart = kBootSystemTime + Machine::Current().Now();
    QueueDpc(timer->Dpc, reinterpret_cast<PVOID>(static_cast<uintptr_t>(now.u.LowPart)),
             reinterpret_cast<PVOID>(static_cast<uintptr_t>(static_cast<ULONG>(now.u.HighPart))));
  }
  if (timer->Period > 0) ArmTimer(timer, TickDueTime(-LONGLONG{timer->Period} * kMillisecond));
  (void)TimerIsSynchronization;
}

void ArmTimer(PKTIMER timer, VirtualTime due) {
  timer->DueTime.QuadPart = due > INT64_MAX - kBootSystemTime ? INT64_MAX : kBootSystemTime + due;
  // A due time already passed expires in KeSetTimer itself.
  if (due <= Machine::Current().Now()) {
    ExpireTimer(timer);
    return;
  }
  timer->Header.Inserted = TRUE;
  Kernel().setTimers[timer] = Machine::Current().AddClockEvent(due, [timer] { ExpireTimer(timer); });
}

bool CancelIfSet(PKTIMER timer) {
  KernelState& kernel = Kernel();
  auto it = kernel.setTimers.find(timer);
  if (it == kernel.setTimers.end()) return false;
  Machine::Current().CancelClockEvent(it->second);
  kernel.setTimers.erase(it);
  timer->Header.Inserted = FALSE;
  return true;
}

}  // namespace

namespace {

void QueueOnAProcessor(PKDPC dpc) {
  KernelState& kernel = Kernel();
  EnsureProcessors();
  Machine& machine = Machine::Current();
  int index = static_cast<int>(machine.RandomBelow(kernel.processors.size()));
  dpc->Number = static_cast<UCHAR>(index);
  kernel.processors[index].queue.push_back(dpc);
  machine.Wake(kernel.processors[index].task, STATUS_SUCCESS);
}

}  // namespace

BOOLEAN QueueDpc(PKDPC dpc, PVOID argument1, PVOID argument2) {
  KernelState& kernel = Kernel();
  // Even a DPC already queued runs after this: the queue's lock orders the two.
  race::Release(dpc);
  if (kernel.queuedDpcs.count(dpc)) return FALSE;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  dpc->Lock = reinterpret_cast<PULONG_PTR>(&kernel);
  kernel.queuedDpcs.insert(dpc);
  Task* task = Machine::Current().CurrentTask();
  if (task && task->irql >= DISPATCH_LEVEL)
    kernel.deferredDpcs[task].push_back(dpc);
  else
    QueueOnAProcessor(dpc);
  return TRUE;
}

void ReleaseDeferredDpcs(Task* task) {
  KernelState& kernel = Kernel();
  auto it = kernel.deferredDpcs.find(task);
  if (it == kernel.deferredDpcs.end()) return;
  std::deque<PKDPC> dpcs = std::move(it->second);
  kernel.deferredDpcs.erase(it);
  for (PKDPC dpc : dpcs) QueueOnAProcessor(dpc);
}

bool QueuedKernelObjectInRange(const void* begin, size_t length, std::string* what) {
  if (!Machine::Exists()) return false;
  KernelState& kernel = Kernel();
  auto inside = [&](const void* object) {
    auto p = static_cast<const char*>(object);
    auto b = static_cast<const char*>(begin);
    return p >= b && p < b + length;
  };
  for (const void* dpc : kernel.queuedDpcs)
    if (inside(dpc)) {
      if (what) *what = "queued DPC";
      return true;
    }
  for (const auto& [timer, event] : kernel.setTimers)
    if (inside(timer)) {
      if (what) *what = "set timer";
      return true;
    }
  for (const void* item : kernel.queuedWorkItems)
    if (inside(item)) {
      if (what) *what = "queued work item";
      return true;
    }
  return false;
}

}  // namespace sim

using sim::Machine;

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  if (Machine::Exists() && sim::Kernel().setTimers.count(Timer)) {
    Machine::Current().Report("timer reinitialised while set", "");
    sim::CancelIfSet(Timer);
  }
  Timer->Header.Type = Type == NotificationTimer ? sim::kTimerNotificationObject : sim::kTimerSynchronizationObject;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Inserted = FALSE;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  Machine& machine = Machine::Current();
  machine.Point("KeSetTimer");
  if (sim::Task* self = machine.CurrentTask()) {
    self->currentCall = "KeSetTimer";
    if (self->irql > DISPATCH_LEVEL) machine.Report("timer set above DISPATCH_LEVEL", "");
  }
  BOOLEAN wasSet = sim::CancelIfSet(Timer);
  // Expiry, and the DPC it queues, come after everything the setter did.
  sim::race::Release(&Timer->Header);
  if (Dpc) sim::race::Release(Dpc);
  Timer->Header.SignalState = 0;
  Timer->Dpc = Dpc;
  Timer->Period = Period;
  sim::ArmTimer(Timer, sim::TickDueTime(DueTime.QuadPart));
  return wasSet;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  Machine& machine = Machine::Current();
  machine.Point("KeCancelTimer");
  return sim::CancelIfSet(Timer);
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) { return Timer->Header.SignalState != 0; }

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  if (Machine::Exists() && sim::Kernel().queuedDpcs.count(Dpc)) {
    Machine::Current().Report("DPC reinitialised while queued", "");
    return;
  }
  Dpc->Type = 19;  // DpcObject
  Dpc->Number = 0;
  Dpc->Importance = 1;  // MediumImportance
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->Lock = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  Machine& machine = Machine::Current();
  machine.Point("KeInsertQueueDpc");
  if (sim::Task* self = machine.CurrentTask()) self->currentCall = "KeInsertQueueDpc";
  return sim::QueueDpc(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  Machine& machine = Machine::Current();
  machine.Point("KeRemoveQueueDpc");
  sim::KernelState& kernel = sim::Kernel();
  if (!kernel.queuedDpcs.count(Dpc)) return FALSE;
  for (auto& processor : kernel.processors) {
    auto it = std::find(processor.queue.begin(), processor.queue.end(), Dpc);
    if (it != processor.queue.end()) processor.queue.erase(it);
  }
  for (auto& [task, deferred] : kernel.deferredDpcs) {
    auto it = std::find(deferred.begin(), deferred.end(), Dpc);
    if (it != deferred.end()) deferred.erase(it);
  }
  kernel.queuedDpcs.erase(Dpc);
  Dpc->Lock = nullptr;
  return TRUE;
}
