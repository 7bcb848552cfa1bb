// The buffers of a serial control request. Every code the port answers is METHOD_BUFFERED:
// input and output share the system buffer, and the lengths are those of the current stack
// location. Input is copied out before any output is written over it.
#pragma once

#include "core/records.h"

// Copies the first Size bytes of the input into Value; FALSE, copying nothing, when the
// caller gave fewer.
inline BOOLEAN ControlInputRead(PIRP Irp, PVOID Value, ULONG Size) {
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength < Size) {
    return FALSE;
  }
  RtlCopyMemory(Value, Irp->AssociatedIrp.SystemBuffer, Size);
  return TRUE;
}

inline BOOLEAN ControlOutputFits(PIRP Irp, ULONG Size) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength >= Size;
}

// Returns all Size bytes of Value, a record the caller filled completely (padding included),
// and reports exactly that many. The caller has checked ControlOutputFits.
inline VOID ControlOutputWrite(PIRP Irp, const VOID* Value, ULONG Size) {
  RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Value, Size);
  Irp->IoStatus.Information = Size;
}
