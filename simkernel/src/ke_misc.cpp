// Interlocked operations, time, the current thread and bugchecks. Interlocked operations
// are scheduling points so that races on shared counters are explored.
#include <algorithm>
#include <cstdint>

#include "kernel_objects.h"
#include "race_annotations.h"

using sim::Machine;

namespace {

void InterlockedPoint(const char* call) {
  Machine& machine = Machine::Current();
  machine.Point(call);
  if (sim::Task* self = machine.CurrentTask()) self->currentCall = call;
}

// The controlling thread acts as a thread of its own for KeGetCurrentThread.
uint64_t g_controllerThread;

}  // namespace

LONG InterlockedIncrement(LONG volatile* Addend) {
  InterlockedPoint("InterlockedIncrement");
  return sim::race::ExchangeAdd(Addend, 1) + 1;
}

LONG InterlockedDecrement(LONG volatile* Addend) {
  InterlockedPoint("InterlockedDecrement");
  return sim::race::ExchangeAdd(Addend, -1) - 1;
}

LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  InterlockedPoint("InterlockedExchange");
  return sim::race::Exchange(Target, Value);
}

LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  InterlockedPoint("InterlockedExchangeAdd");
  return sim::race::ExchangeAdd(Addend, Value);
}

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  InterlockedPoint("InterlockedCompareExchange");
  return sim::race::CompareExchange(Destination, Exchange, Comparand);
}

PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  InterlockedPoint("InterlockedExchangePointer");
  return sim::race::Exchange(Target, Value);
}

PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand) {
  InterlockedPoint("InterlockedCompareExchangePointer");
  return sim::race::CompareExchange(Destination, Exchange, Comparand);
}

LONG InterlockedOr(LONG volatile* Target, LONG Set) {
  InterlockedPoint("InterlockedOr");
  return sim::race::Or(Target, Set);
}

LONG InterlockedAnd(LONG volatile* Target, LONG Set) {
  InterlockedPoint("InterlockedAnd");
  return sim::race::And(Target, Set);
}

PKTHREAD KeGetCurrentThread(void) {
  sim::Task* task = Machine::Current().CurrentTask();
  return task ? task->Thread() : reinterpret_cast<PKTHREAD>(&g_controllerThread);
}

namespace sim {

VirtualTime TickDueTime(LONGLONG dueTime) {
  Machine& machine = Machine::Current();
  const VirtualTime lastTick = machine.TickFloor(machine.Now());
  // Far enough from the end of the range that rounding up cannot overflow.
  const VirtualTime latest = INT64_MAX - 2 * static_cast<VirtualTime>(machine.TimeIncrement());
  VirtualTime target;
  if (dueTime < 0) {
    const VirtualTime interval = dueTime == INT64_MIN ? INT64_MAX : -dueTime;
    target = interval > latest - lastTick ? latest : lastTick + interval;
  } else {
    target = std::min<VirtualTime>(dueTime - kBootSystemTime, latest);
  }
  if (target <= lastTick) return machine.Now();
  return machine.TickCeil(target);
}

}  // namespace sim

// Kernel time moves only when the clock interrupts.
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  Machine& machine = Machine::Current();
  CurrentTime->QuadPart = sim::kBootSystemTime + machine.TickFloor(machine.Now());
}

ULONG KeQueryTimeIncrement(void) { return Machine::Current().TimeIncrement(); }

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
  Machine& machine = Machine::Current();
  TickCount->QuadPart = machine.Now() / machine.TimeIncrement();
}

ULONGLONG KeQueryInterruptTime(VOID) {
  Machine& machine = Machine::Current();
  return static_cast<ULONGLONG>(machine.TickFloor(machine.Now()));
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  char text[128];
  snprintf(text, sizeof text, "code 0x%08X (%#lx, %#lx, %#lx, %#lx)", BugCheckCode, (unsigned long)P1,
           (unsigned long)P2, (unsigned long)P3, (unsigned long)P4);
  Machine::Current().Fatal("bugcheck", text);
}
