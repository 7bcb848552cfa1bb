// Helpers every part of the driver leans on: the adapter's count of requests in progress,
// request completion, freeing pool blocks held in record fields, and the owned spin lock.
// All of them are non-pageable; all but the drains are callable at DISPATCH_LEVEL.
#pragma once

#include "core/records.h"

// Plug-and-play and power requests in progress on an adapter, with the bias of 1.
VOID PendingIoIncrement(AdapterExtension* Adapter);
VOID PendingIoDecrement(AdapterExtension* Adapter);

// Called by the adapter's plug-and-play handler at PASSIVE_LEVEL, holding one count for the
// stop or remove request itself. The stop drain returns holding that count again; the
// remove drain also drops the bias and returns once the count has reached 0.
VOID AdapterDrainBeforeStop(AdapterExtension* Adapter);
VOID AdapterDrainBeforeRemove(AdapterExtension* Adapter);

VOID CompleteRequest(PIRP Irp, CCHAR PriorityBoost);

// Frees the pool block a record field points at and leaves the field NULL; a NULL field is
// left alone, so a second call frees nothing.
template <typename T>
inline VOID FreePoolAndClear(T** Field) {
  if (*Field != NULL) {
    ExFreePool(*Field);
    *Field = NULL;
  }
}

// Sets bits of a flags word that writers under different locks share. Windows 2000 exports
// no InterlockedOr, so it is a compare-exchange loop.
// Frees a counted string's buffer (if any) and leaves the string empty.
inline VOID FreeStringAndClear(PUNICODE_STRING String) {
  FreePoolAndClear(&String->Buffer);
  String->Length = 0;
  String->MaximumLength = 0;
}

inline VOID InterlockedSetBits(ULONG volatile* Target, ULONG Bits) {
  LONG Old = InterlockedCompareExchange((LONG volatile*)Target, 0, 0);
  for (;;) {
    LONG Seen = InterlockedCompareExchange((LONG volatile*)Target, (LONG)((ULONG)Old | Bits), Old);
    if (Seen == Old) {
      return;
    }
    Old = Seen;
  }
}

VOID InitializeOwnedSpinLock(OwnedSpinLock* Lock);
VOID AcquireOwnedSpinLock(OwnedSpinLock* Lock);
VOID ReleaseOwnedSpinLock(OwnedSpinLock* Lock);
// Whether the calling thread holds the lock; safe without holding it.
BOOLEAN OwnedSpinLockHeldHere(OwnedSpinLock* Lock);
