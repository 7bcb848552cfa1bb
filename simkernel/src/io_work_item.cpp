// IoAllocateWorkItem, IoQueueWorkItem and IoFreeWorkItem: a system work item that holds a
// reference on its device object from the queueing until the routine has returned, as the
// Windows 2000 I/O manager does, so that a driver's routine never runs in an unloaded image.
// The item comes from non-paged pool on the caller's account and may fail as any allocation.
#include <atomic>
#include <new>

#include "io_internal.h"

struct _IO_WORKITEM {
  WORK_QUEUE_ITEM item;
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  // Set by the queueing task, cleared by the worker, read by whoever queues or frees next.
  std::atomic<bool> queued;
};

namespace {

// "IoWk" in a pool dump: the first character in the low byte.
constexpr ULONG kTag = ULONG('I') | ULONG('o') << 8 | ULONG('W') << 16 | ULONG('k') << 24;

VOID NTAPI RunIoWorkItem(PVOID parameter) {
  auto* work = static_cast<PIO_WORKITEM>(parameter);
  // The routine may free the item: nothing of it is read afterwards.
  PDEVICE_OBJECT device = work->device;
  PIO_WORKITEM_ROUTINE routine = work->routine;
  PVOID context = work->context;
  work->queued = false;
  routine(device, context);
  ObDereferenceObject(device);
}

}  // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  sim::iom::SetCall("IoAllocateWorkItem");
  auto* work = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kTag));
  if (work == nullptr) return nullptr;
  new (work) _IO_WORKITEM{{}, DeviceObject, nullptr, nullptr, {false}};
  return work;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
  sim::iom::SetCall("IoQueueWorkItem");
  if (IoWorkItem->queued) {
    sim::iom::Report("work item queued twice", "an IO_WORKITEM of " + sim::iom::DescribeDevice(IoWorkItem->device));
    return;
  }
  IoWorkItem->routine = WorkerRoutine;
  IoWorkItem->context = Context;
  IoWorkItem->queued = true;
  ObReferenceObject(IoWorkItem->device);
  ExInitializeWorkItem(&IoWorkItem->item, RunIoWorkItem, IoWorkItem);
  ExQueueWorkItem(&IoWorkItem->item, QueueType);
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  sim::iom::SetCall("IoFreeWorkItem");
  if (IoWorkItem->queued) {
    sim::iom::Report("work item freed while queued", "an IO_WORKITEM of " + sim::iom::DescribeDevice(IoWorkItem->device));
    return;
  }
  ExFreePool(IoWorkItem);
}
