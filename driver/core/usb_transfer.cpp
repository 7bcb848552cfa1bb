// Building and freeing the bulk transfers the driver sends on its own behalf.
#include "core/usb_transfer.h"

PIRP UsbTransferAllocate(PDEVICE_OBJECT Lower, PVOID Buffer, ULONG Length) {
  PIRP Irp = IoAllocateIrp((CCHAR)(Lower->StackSize + 1), FALSE);
  if (Irp == NULL) {
    return NULL;
  }
  // Attached to the request: whoever frees the request frees it too.
  if (IoAllocateMdl(Buffer, Length, FALSE, FALSE, Irp) == NULL) {
    IoFreeIrp(Irp);
    return NULL;
  }
  MmBuildMdlForNonPagedPool(Irp->MdlAddress);
  return Irp;
}

VOID UsbTransferBuild(PDEVICE_OBJECT Self, PIRP Irp, PURB Urb, USBD_PIPE_HANDLE Pipe, ULONG Length,
                      ULONG TransferFlags, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context) {
  RtlZeroMemory(Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  UsbBuildInterruptOrBulkTransferRequest(Urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), Pipe, NULL,
                                         Irp->MdlAddress, Length, TransferFlags, NULL);

  // The driver's own stack location lets the completion routine run with Self as the device.
  IoSetNextIrpStackLocation(Irp);
  IoGetCurrentIrpStackLocation(Irp)->DeviceObject = Self;
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  Next->Parameters.Others.Argument1 = Urb;
  IoSetCompletionRoutine(Irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
}

VOID UsbTransferFree(PIRP Irp) {
  PMDL Mdl = Irp->MdlAddress;
  while (Mdl != NULL) {
    PMDL Next = Mdl->Next;
    IoFreeMdl(Mdl);
    Mdl = Next;
  }
  Irp->MdlAddress = NULL;
  IoFreeIrp(Irp);
}
