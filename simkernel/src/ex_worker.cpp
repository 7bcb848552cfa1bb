// System worker threads: two critical, one delayed and one hyper-critical, each queue
// served in order by its own tasks at PASSIVE_LEVEL.
#include "kernel_objects.h"
#include "race_annotations.h"

namespace sim {
namespace {

int WorkerCount(WORK_QUEUE_TYPE type) { return type == CriticalWorkQueue ? 2 : 1; }

const char* QueueName(WORK_QUEUE_TYPE type) {
  switch (type) {
    case CriticalWorkQueue: return "critical";
    case DelayedWorkQueue: return "delayed";
    case HyperCriticalWorkQueue: return "hypercritical";
  }
  return "?";
}

void RunWorker(WORK_QUEUE_TYPE type) {
  Machine& machine = Machine::Current();
  Task* self = machine.CurrentTask();
  for (;;) {
    WorkQueue& queue = Kernel().workQueues[type];
    if (queue.items.empty()) {
      machine.Block(std::string(QueueName(type)) + " work queue", std::nullopt, STATUS_TIMEOUT, /*idle=*/true);
      continue;
    }
    PWORK_QUEUE_ITEM item = queue.items.front();
    queue.items.pop_front();
    Kernel().queuedWorkItems.erase(item);
    item->List.Flink = nullptr;
    race::Acquire(item);
    self->currentCall = "work item";
    item->WorkerRoutine(item->Parameter);
    if (self->irql != PASSIVE_LEVEL)
      machine.Report("work item returned above PASSIVE_LEVEL", "IRQL " + std::to_string(self->irql));
    if (!self->heldSpinLocks.empty()) machine.Report("spin lock held on return from a work item", "");
    self->irql = PASSIVE_LEVEL;
    ReleaseDeferredDpcs(self);
    machine.Point("work item finished");
  }
}

}  // namespace
}  // namespace sim

using sim::Machine;

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  Machine& machine = Machine::Current();
  machine.Point("ExQueueWorkItem");
  if (sim::Task* self = machine.CurrentTask()) self->currentCall = "ExQueueWorkItem";
  sim::KernelState& kernel = sim::Kernel();
  if (kernel.queuedWorkItems.count(WorkItem)) {
    machine.Report("work item queued twice", "");
    return;
  }
  sim::WorkQueue& queue = kernel.workQueues[QueueType];
  if (queue.workers.empty())
    for (int i = 0; i < sim::WorkerCount(QueueType); ++i)
      queue.workers.push_back(machine.Spawn(std::string(sim::QueueName(QueueType)) + "-worker" + std::to_string(i),
                                            sim::TaskKind::Worker, [QueueType] { sim::RunWorker(QueueType); }, true));
  sim::race::Release(WorkItem);
  WorkItem->List.Flink = &WorkItem->List;
  queue.items.push_back(WorkItem);
  kernel.queuedWorkItems.insert(WorkItem);
  for (sim::Task* worker : queue.workers) machine.Wake(worker, STATUS_SUCCESS);
}
