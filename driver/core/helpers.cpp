// Pending-request accounting, the drains built on it, request completion and the owned
// spin lock. Non-pageable: power completion routines and DPCs call into here.
#include "core/helpers.h"

VOID PendingIoIncrement(AdapterExtension* Adapter) {
  if (InterlockedIncrement(&Adapter->PendingIoCount) == 2) {
    KeClearEvent(&Adapter->NoPendingIoEvent);
  }
}

VOID PendingIoDecrement(AdapterExtension* Adapter) {
  LONG Count = InterlockedDecrement(&Adapter->PendingIoCount);
  if (Count == 1) {
    KeSetEvent(&Adapter->NoPendingIoEvent, IO_NO_INCREMENT, FALSE);
  } else if (Count == 0) {
    KeSetEvent(&Adapter->RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
}

VOID AdapterDrainBeforeStop(AdapterExtension* Adapter) {
  // Give up the stop request's own count so that an otherwise idle adapter reads 1.
  PendingIoDecrement(Adapter);
  KeWaitForSingleObject(&Adapter->NoPendingIoEvent, Executive, KernelMode, FALSE, NULL);
  PendingIoIncrement(Adapter);
}

VOID AdapterDrainBeforeRemove(AdapterExtension* Adapter) {
  // The remove request's own count, then the bias taken at creation: whichever decrement
  // reaches 0 (ours when nothing else is in flight) signals RemoveEvent.
  PendingIoDecrement(Adapter);
  PendingIoDecrement(Adapter);
  KeWaitForSingleObject(&Adapter->RemoveEvent, Executive, KernelMode, FALSE, NULL);
}

VOID CompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  IoCompleteRequest(Irp, PriorityBoost);
}

VOID InitializeOwnedSpinLock(OwnedSpinLock* Lock) {
  KeInitializeSpinLock(&Lock->Lock);
  Lock->OldIrql = PASSIVE_LEVEL;
  Lock->Owner = NULL;
}

BOOLEAN OwnedSpinLockHeldHere(OwnedSpinLock* Lock) {
  // Read without the lock, so through an interlocked operation: another processor may be
  // storing its own thread there. Owner can only equal this thread if this thread stored it.
  PVOID Owner = InterlockedCompareExchangePointer((PVOID volatile*)&Lock->Owner, NULL, NULL);
  return Owner == (PVOID)KeGetCurrentThread();
}

VOID AcquireOwnedSpinLock(OwnedSpinLock* Lock) {
  if (OwnedSpinLockHeldHere(Lock)) {
    return;
  }
  KIRQL OldIrql;
  KeAcquireSpinLock(&Lock->Lock, &OldIrql);
  Lock->OldIrql = OldIrql;
  InterlockedExchangePointer((PVOID volatile*)&Lock->Owner, (PVOID)KeGetCurrentThread());
}

VOID ReleaseOwnedSpinLock(OwnedSpinLock* Lock) {
  KIRQL OldIrql = Lock->OldIrql;
  InterlockedExchangePointer((PVOID volatile*)&Lock->Owner, NULL);
  KeReleaseSpinLock(&Lock->Lock, OldIrql);
}
