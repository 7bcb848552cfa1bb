// Cancelling a USB transfer the driver built itself and waiting for its completion. The
// protocol with the transfer's completion routine is described in request_queue.h.
// Non-pageable like the rest of the data path, but PASSIVE_LEVEL only: it waits.
#include "core/helpers.h"
#include "core/usb_transfer.h"
#include "datapath/request_queue.h"

// TRUE if a transfer was in flight on entry.
static BOOLEAN CancelAndAwaitTransfer(PIRP* Transfer, PKEVENT Event, OwnedSpinLock* Lock, const UCHAR* Kind,
                                      UCHAR WantedKind) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  BOOLEAN Found = FALSE;

  // Again after each wait: the field may hold a transfer started meanwhile, which would
  // run into whatever the caller does next with the pipe.
  for (;;) {
    KIRQL CancelIrql;
    // The cancel spin lock first, as every holder of both takes them; it also orders the
    // Cancel flag with the lower driver's checks of it.
    IoAcquireCancelSpinLock(&CancelIrql);
    AcquireOwnedSpinLock(Lock);
    PIRP Irp = *Transfer;
    if (Kind != NULL && *Kind != WantedKind) {
      Irp = NULL;
    }
    BOOLEAN Claimed = FALSE;
    if (Irp != NULL && !Irp->Cancel) {
      Irp->Cancel = TRUE;
      KeClearEvent(Event);
      Claimed = TRUE;
    }
    ReleaseOwnedSpinLock(Lock);
    IoReleaseCancelSpinLock(CancelIrql);

    if (Irp == NULL) {
      return Found;
    }
    Found = TRUE;
    // Claimed, the request stays allocated until this routine frees it, whenever the bus
    // driver completes it. Not claimed here means another canceller owns it and frees it;
    // its completion signals the event all the same.
    if (Claimed) {
      IoCancelIrp(Irp);
    }
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
    if (Claimed) {
      // The completion routine of a claimed transfer leaves the request to its canceller.
      UsbTransferFree(Irp);
    }
  }
}

VOID CancelTransferAndWait(PIRP* Transfer, PKEVENT Event, OwnedSpinLock* Lock) {
  CancelAndAwaitTransfer(Transfer, Event, Lock, NULL, 0);
}

BOOLEAN CancelDataWriteAndWait(PortExtension* Port, BOOLEAN AbandonedOnly) {
  return CancelAndAwaitTransfer(&Port->DataWriteIrp, &Port->DataWriteDoneEvent, &Port->WriteLock,
                                AbandonedOnly ? &Port->WriteInFlight : NULL, WRITE_IN_FLIGHT_ABANDONED);
}
