// The reference word of a current request: one REF_ bit (core/records.h) per party that may
// still touch it; the request may be completed only once the word is 0. It lives in the
// fourth argument slot of the request's current stack location, which no serial request
// uses for anything else while it is current (a queue-size request carries its new buffer
// there only while it waits in the read queue). Read and changed under the cancel spin lock.
#pragma once

#include "core/records.h"

inline ULONG RequestRefGet(PIRP Irp) {
  return (ULONG)(ULONG_PTR)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4;
}

inline VOID RequestRefStore(PIRP Irp, ULONG Word) {
  IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4 = (PVOID)(ULONG_PTR)Word;
}

// Starters call this before they arm anything.
inline VOID RequestRefReset(PIRP Irp) { RequestRefStore(Irp, 0); }

inline BOOLEAN RequestRefHas(PIRP Irp, ULONG Bit) { return (RequestRefGet(Irp) & Bit) != 0; }

// Taking a reference that is already held, or dropping one that is not, means two parties
// believe they own the same reference: one of them would complete the request under the
// other's feet.
inline VOID RequestRefSet(PIRP Irp, ULONG Bit) {
  ASSERT(!RequestRefHas(Irp, Bit));
  RequestRefStore(Irp, RequestRefGet(Irp) | Bit);
}

inline VOID RequestRefClear(PIRP Irp, ULONG Bit) {
  ASSERT(RequestRefHas(Irp, Bit));
  RequestRefStore(Irp, RequestRefGet(Irp) & ~Bit);
}
