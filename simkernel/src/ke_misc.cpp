// Interlocked operations, time, the current thread and bugchecks. Interlocked operations
// are scheduling points so that races on shared counters are explored.
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

PKTHREAD KeGetCurrentThread(void) {
  sim::Task* task = Machine::Current().CurrentTask();
  return task ? task->Thread() : reinterpret_cast<PKTHREAD>(&g_controllerThread);
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = sim::kBootSystemTime + Machine::Current().Now();
}

// The clock interrupt ticks every 10 ms here, as on a uniprocessor Windows 2000 machine.
ULONG KeQueryTimeIncrement(void) { return 100000; }

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
  TickCount->QuadPart = Machine::Current().Now() / KeQueryTimeIncrement();
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  char text[128];
  snprintf(text, sizeof text, "code 0x%08X (%#lx, %#lx, %#lx, %#lx)", BugCheckCode, (unsigned long)P1,
           (unsigned long)P2, (unsigned long)P3, (unsigned long)P4);
  Machine::Current().Fatal("bugcheck", text);
}
