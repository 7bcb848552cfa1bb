#include "adapter/usb_request.h"

NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT Lower, PURB Urb) {
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK IoStatus;
  IoStatus.Status = STATUS_UNSUCCESSFUL;
  IoStatus.Information = 0;
  PIRP Irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Lower, NULL, 0, NULL, 0, TRUE, &Done,
                                           &IoStatus);
  if (Irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoGetNextIrpStackLocation(Irp)->Parameters.Others.Argument1 = Urb;
  NTSTATUS Status = IoCallDriver(Lower, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, NULL);
    Status = IoStatus.Status;
  }
  // Success of the request with a failed URB is still a failed transfer.
  if (NT_SUCCESS(Status) && USBD_ERROR(Urb->UrbHeader.Status)) {
    Status = STATUS_UNSUCCESSFUL;
  }
  return Status;
}
