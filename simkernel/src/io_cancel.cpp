// Cancellation: the one system cancel spin lock, cancel routines and IoCancelIrp, following
// the Windows algorithm (the cancel routine is entered holding the lock and releases it).
#include "io_internal.h"
#include "race_annotations.h"

using namespace sim::iom;

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
  sim::Task* self = sim::RequireTask("IoAcquireCancelSpinLock");
  self->currentCall = "IoAcquireCancelSpinLock";
  if (self->holdsCancelLock) {
    // Spinning on a lock this processor holds never ends; report instead of hanging.
    Report("cancel spin lock acquired twice", "");
    *Irql = self->irql;
    return;
  }
  KeAcquireSpinLock(&Io().cancelLock, Irql);
  self->holdsCancelLock = true;
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
  sim::Task* self = sim::RequireTask("IoReleaseCancelSpinLock");
  self->currentCall = "IoReleaseCancelSpinLock";
  if (!self->holdsCancelLock) {
    Report("cancel spin lock released without being held", "");
    return;
  }
  self->holdsCancelLock = false;
  KeReleaseSpinLock(&Io().cancelLock, Irql);
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  // An interlocked exchange: a point where another processor may get in.
  sim::Machine::Current().Point("IoSetCancelRoutine");
  SetCall("IoSetCancelRoutine");
  if (IrpRecord* record = FindIrp(Irp); record && record->freed) {
    Report("irp used after free", Describe(*record) + " given a cancel routine");
    return nullptr;
  }
  return reinterpret_cast<PDRIVER_CANCEL>(sim::race::Exchange(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine),
                                                               reinterpret_cast<PVOID>(CancelRoutine)));
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  sim::Task* self = sim::RequireTask("IoCancelIrp");
  self->currentCall = "IoCancelIrp";
  if (IrpRecord* record = FindIrp(Irp); record && record->freed) {
    Report("irp used after free", Describe(*record) + " cancelled");
    return FALSE;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  if (Irp->CurrentLocation > Irp->StackCount) {
    IrpRecord* record = FindIrp(Irp);
    Report("cancel routine on completed irp", record ? Describe(*record) : "unknown irp");
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
  routine(device, Irp);
  self->currentCall = "IoCancelIrp";
  if (self->holdsCancelLock) {
    Report("cancel routine kept cancel spin lock", DescribeDevice(device));
    IoReleaseCancelSpinLock(irql);
  } else if (self->irql != irql) {
    Report("cancel routine changed irql", DescribeDevice(device) + ": IRQL " + std::to_string(irql) + " -> " +
                                              std::to_string(self->irql));
  }
  return TRUE;
}
