// IRQL per task and executive spin locks. A task that finds a lock held blocks as if
// spinning on another processor; the holder's release lets it retry.
#include <algorithm>
#include <set>
#include <sstream>

#include "kernel_objects.h"
#include "race_annotations.h"

namespace sim {

KernelState& Kernel() { return Machine::Current().State<KernelState>(); }

Task* RequireTask(const char* call) {
  Task* task = Machine::Current().CurrentTask();
  if (!task) throw std::logic_error(std::string(call) + " called outside a simulated task");
  return task;
}

namespace {

std::string Address(const void* p) {
  std::ostringstream out;
  out << p;
  return out.str();
}

bool LockOrderReaches(const KernelState& kernel, const void* from, const void* to, std::set<const void*>& seen) {
  if (from == to) return true;
  if (!seen.insert(from).second) return false;
  auto after = kernel.lockOrder.find(from);
  if (after == kernel.lockOrder.end()) return false;
  for (const void* next : after->second)
    if (LockOrderReaches(kernel, next, to, seen)) return true;
  return false;
}

// Two paths that take the same spin locks in opposite orders deadlock once they meet on two
// processors, however rarely the schedule lets them: reported the first time the order is
// reversed, whether or not this run would have hung.
void CheckLockOrder(Machine& machine, Task* self, PKSPIN_LOCK lock) {
  KernelState& kernel = Kernel();
  for (const void* held : self->heldSpinLocks) {
    std::set<const void*>& after = kernel.lockOrder[held];
    if (after.count(lock)) continue;
    std::set<const void*> seen;
    if (LockOrderReaches(kernel, lock, held, seen))
      machine.Report("spin locks acquired in opposite orders",
                     "lock " + Address(lock) + " acquired by " + self->name + " holding " + Address(held) +
                         ", while elsewhere " + Address(held) + " was acquired with " + Address(lock) +
                         " held (directly or through other locks)");
    after.insert(lock);  // reported once
  }
}

void AcquireAtDispatch(PKSPIN_LOCK lock, const char* call) {
  Machine& machine = Machine::Current();
  Task* self = RequireTask(call);
  KernelState& kernel = Kernel();
  CheckLockOrder(machine, self, lock);
  for (;;) {
    auto owner = kernel.spinLockOwners.find(lock);
    if (owner == kernel.spinLockOwners.end()) break;
    if (owner->second == self) machine.Fatal("spin lock acquired recursively", "lock " + Address(lock));
    kernel.spinners[lock].push_back(self);
    machine.Block("spin lock " + Address(lock) + " held by " + owner->second->name);
  }
  kernel.spinLockOwners[lock] = self;
  self->heldSpinLocks.push_back(lock);
  *lock = 1;
  race::Acquire(lock);
}

void ReleaseFromDispatch(PKSPIN_LOCK lock) {
  Machine& machine = Machine::Current();
  Task* self = RequireTask("KeReleaseSpinLock");
  KernelState& kernel = Kernel();
  auto owner = kernel.spinLockOwners.find(lock);
  if (owner == kernel.spinLockOwners.end() || owner->second != self) {
    machine.Report("spin lock released by a task that does not hold it",
                   "lock " + Address(lock) +
                       (owner == kernel.spinLockOwners.end() ? " is free" : " is held by " + owner->second->name));
    return;
  }
  race::Release(lock);
  kernel.spinLockOwners.erase(owner);
  auto held = std::find(self->heldSpinLocks.begin(), self->heldSpinLocks.end(), lock);
  self->heldSpinLocks.erase(held);
  *lock = 0;
  auto spinning = kernel.spinners.find(lock);
  if (spinning != kernel.spinners.end()) {
    for (Task* spinner : spinning->second) machine.Wake(spinner, STATUS_SUCCESS);
    kernel.spinners.erase(spinning);
  }
}

}  // namespace

}  // namespace sim

using sim::Machine;

KIRQL KeGetCurrentIrql(void) {
  sim::Task* task = Machine::Current().CurrentTask();
  return task ? task->irql : KIRQL(PASSIVE_LEVEL);
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  sim::Task* self = sim::RequireTask("KeRaiseIrql");
  self->currentCall = "KeRaiseIrql";
  if (NewIrql < self->irql)
    Machine::Current().Report("IRQL raised to a lower level",
                              "from " + std::to_string(self->irql) + " to " + std::to_string(NewIrql));
  *OldIrql = self->irql;
  self->irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  sim::Task* self = sim::RequireTask("KeLowerIrql");
  self->currentCall = "KeLowerIrql";
  if (NewIrql > self->irql)
    Machine::Current().Report("IRQL lowered to a higher level",
                              "from " + std::to_string(self->irql) + " to " + std::to_string(NewIrql));
  self->irql = NewIrql;
  if (NewIrql < DISPATCH_LEVEL) sim::ReleaseDeferredDpcs(self);
  Machine::Current().Point("KeLowerIrql");
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  if (Machine::Exists() && sim::Kernel().spinLockOwners.count(SpinLock))
    Machine::Current().Report("spin lock reinitialised while held", "");
  // A lock initialised anew is a new lock: the order an earlier one at this address had is gone.
  if (Machine::Exists()) {
    auto& order = sim::Kernel().lockOrder;
    order.erase(SpinLock);
    for (auto& [held, after] : order) after.erase(SpinLock);
  }
  *SpinLock = 0;
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  Machine& machine = Machine::Current();
  sim::Task* self = sim::RequireTask("KeAcquireSpinLock");
  machine.Point("KeAcquireSpinLock");
  self->currentCall = "KeAcquireSpinLock";
  if (self->irql > DISPATCH_LEVEL)
    machine.Report("spin lock acquired above DISPATCH_LEVEL", "");
  KIRQL old = self->irql;
  if (self->irql < DISPATCH_LEVEL) self->irql = DISPATCH_LEVEL;
  sim::AcquireAtDispatch(SpinLock, "KeAcquireSpinLock");
  *OldIrql = old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  Machine& machine = Machine::Current();
  sim::Task* self = sim::RequireTask("KeReleaseSpinLock");
  self->currentCall = "KeReleaseSpinLock";
  sim::ReleaseFromDispatch(SpinLock);
  if (NewIrql > self->irql) machine.Report("IRQL lowered to a higher level", "KeReleaseSpinLock");
  self->irql = NewIrql;
  if (NewIrql < DISPATCH_LEVEL) sim::ReleaseDeferredDpcs(self);
  machine.Point("KeReleaseSpinLock");
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  Machine& machine = Machine::Current();
  sim::Task* self = sim::RequireTask("KeAcquireSpinLockAtDpcLevel");
  machine.Point("KeAcquireSpinLockAtDpcLevel");
  self->currentCall = "KeAcquireSpinLockAtDpcLevel";
  if (self->irql != DISPATCH_LEVEL)
    machine.Report("spin lock acquired at DPC level form below DISPATCH_LEVEL", "");
  sim::AcquireAtDispatch(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  sim::Task* self = sim::RequireTask("KeReleaseSpinLockFromDpcLevel");
  self->currentCall = "KeReleaseSpinLockFromDpcLevel";
  sim::ReleaseFromDispatch(SpinLock);
  Machine::Current().Point("KeReleaseSpinLockFromDpcLevel");
}

VOID SimCheckPagedCode(const char* Routine) {
  sim::Task* task = Machine::Current().CurrentTask();
  if (task && task->irql > APC_LEVEL) {
    task->currentCall = Routine;
    Machine::Current().Report("pageable code entered above APC_LEVEL", Routine);
  }
}
