// Per-machine state behind the kernel's dispatcher objects, spin locks, timers, DPCs and
// worker threads. Objects live in driver memory; what the simulation needs to know about
// them (waiters, owners, queued state) is kept here, keyed by address.
#pragma once

#include <deque>
#include <map>
#include <set>
#include <string>

#include "simkernel/machine.h"

namespace sim {

struct DpcProcessor {
  std::deque<PKDPC> queue;
  Task* task = nullptr;
};

struct WorkQueue {
  std::deque<PWORK_QUEUE_ITEM> items;
  std::vector<Task*> workers;
};

struct KernelState {
  std::map<const void*, std::deque<Task*>> waiters;       // dispatcher object -> waiting tasks
  std::map<const void*, Task*> spinLockOwners;            // held spin locks
  std::map<const void*, std::deque<Task*>> spinners;      // tasks spinning on a held lock
  // The spin lock order seen so far: lock -> locks acquired while it was held.
  std::map<const void*, std::set<const void*>> lockOrder;
  std::map<const void*, uint64_t> setTimers;              // timer -> clock event
  std::set<const void*> queuedDpcs;
  // DPCs queued by a task at DISPATCH_LEVEL wait for it to drop below, as they would on its processor.
  std::map<Task*, std::deque<PKDPC>> deferredDpcs;
  std::set<const void*> queuedWorkItems;
  std::vector<DpcProcessor> processors;
  std::map<int, WorkQueue> workQueues;                    // by WORK_QUEUE_TYPE
};

KernelState& Kernel();

// True if a queued DPC, a set timer or a queued work item lies inside [begin, begin+length).
bool QueuedKernelObjectInRange(const void* begin, size_t length, std::string* what);

// Signals a dispatcher object and wakes its waiters as Windows does for its type. Safe on
// the controlling thread (timer expiry) as well as in tasks.
void SignalObject(DISPATCHER_HEADER* header);

// Queues a DPC without a scheduling point (timer expiry runs on the controlling thread).
BOOLEAN QueueDpc(PKDPC dpc, PVOID argument1, PVOID argument2);

// Hands the DPCs a task queued at DISPATCH_LEVEL to the processors once it runs below it.
void ReleaseDeferredDpcs(Task* task);

// The task running now, or a report if the call came from the controlling thread.
Task* RequireTask(const char* call);

// Dispatcher object types, as Windows numbers them.
constexpr UCHAR kEventNotificationObject = 0;
constexpr UCHAR kEventSynchronizationObject = 1;
constexpr UCHAR kTimerNotificationObject = 8;
constexpr UCHAR kTimerSynchronizationObject = 9;

// System time at virtual time zero: 2026-01-01 00:00 UTC in 100-ns units since 1601.
constexpr LONGLONG kBootSystemTime = 134117856000000000LL;

// When a kernel due time (negative: relative, else absolute system time) expires: at the
// first clock tick at or after it, as the clock interrupt checks timers only then. A relative
// time counts from the last tick, the kernel's idea of now; a time already passed expires at
// once.
VirtualTime TickDueTime(LONGLONG dueTime);

}  // namespace sim
