// Bulk transfers the driver builds for itself: one request per transfer, with a stack
// location of the driver's own above the lower device's, an MDL over a non-paged buffer and
// a reused URB. The command channel and the data path build theirs here. Non-pageable.
#pragma once

#include "core/records.h"

// A request for Lower with one stack location more, and an MDL over the first Length bytes
// of the non-paged Buffer attached to it; NULL (nothing left allocated) when either fails.
PIRP UsbTransferAllocate(PDEVICE_OBJECT Lower, PVOID Buffer, ULONG Length);

// Builds the bulk transfer of the request's MDL on Pipe into Urb and sets the request up for
// IOCTL_INTERNAL_USB_SUBMIT_URB, with CompletionRoutine(Context) on success, error and
// cancel, and Self as the device of the driver's own stack location.
VOID UsbTransferBuild(PDEVICE_OBJECT Self, PIRP Irp, PURB Urb, USBD_PIPE_HANDLE Pipe, ULONG Length,
                      ULONG TransferFlags, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context);

// Frees the request and every MDL chained at its MdlAddress.
VOID UsbTransferFree(PIRP Irp);

// TRUE when both the request and its URB succeeded.
inline BOOLEAN UsbTransferSucceeded(PIRP Irp, PURB Urb) {
  return NT_SUCCESS(Irp->IoStatus.Status) && USBD_SUCCESS(URB_STATUS(Urb));
}
