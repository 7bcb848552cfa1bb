#include "adapter/firmware_download.h"

#include "adapter/usb_request.h"

#define VENDOR_URB_SIZE ((USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST))

static NTSTATUS SendVendorWrite(AdapterExtension* Adapter, PURB Urb, UCHAR Request, USHORT Value, PVOID Data,
                                ULONG Length) {
  RtlZeroMemory(Urb, VENDOR_URB_SIZE);
  UsbBuildVendorRequest(Urb, URB_FUNCTION_VENDOR_DEVICE, VENDOR_URB_SIZE, 0, 0, Request, Value, 0, Data, NULL, Length,
                        NULL);
  return SubmitUrbAndWait(Adapter->LowerDevice, Urb);
}

NTSTATUS SetCpuReset(AdapterExtension* Adapter, UCHAR Value) {
  PURB Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, VENDOR_URB_SIZE, TAG_BR13);
  if (Urb == NULL) {
    return STATUS_NO_MEMORY;
  }
  UCHAR Byte = Value;
  NTSTATUS Status = SendVendorWrite(Adapter, Urb, REQUEST_LOAD_INTERNAL, CPU_CONTROL_REGISTER, &Byte, 1);
  ExFreePool(Urb);
  return Status;
}

// Sends the data records of one pass: the external ones, or the internal ones.
static NTSTATUS DownloadPass(AdapterExtension* Adapter, PURB Urb, const FirmwareRecord* Image, BOOLEAN External) {
  for (const FirmwareRecord* Record = Image; Record->Type == FIRMWARE_RECORD_DATA_TYPE; Record++) {
    if ((Record->Address > INTERNAL_RAM_LAST) != (External != FALSE)) {
      continue;
    }
    ULONG Length = Record->Length & 0xFF;
    if (Length > FIRMWARE_RECORD_DATA) {
      // Never beyond the record's own bytes.
      return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS Status = SendVendorWrite(Adapter, Urb, External ? REQUEST_LOAD_EXTERNAL : REQUEST_LOAD_INTERNAL,
                                      Record->Address, (PVOID)Record->Data, Length);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS DownloadFirmwareImage(AdapterExtension* Adapter, const FirmwareRecord* Image) {
  PURB Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, VENDOR_URB_SIZE, TAG_BR14);
  if (Urb == NULL) {
    return STATUS_NO_MEMORY;
  }
  NTSTATUS Status = DownloadPass(Adapter, Urb, Image, TRUE);
  if (NT_SUCCESS(Status)) {
    Status = SetCpuReset(Adapter, 1);
  }
  if (NT_SUCCESS(Status)) {
    Status = DownloadPass(Adapter, Urb, Image, FALSE);
  }
  ExFreePool(Urb);
  return Status;
}

NTSTATUS DownloadFirmware(AdapterExtension* Adapter) {
  NTSTATUS Status = SetCpuReset(Adapter, 1);
  if (NT_SUCCESS(Status)) {
    Status = DownloadFirmwareImage(Adapter, LoaderImage);
  }
  if (NT_SUCCESS(Status)) {
    Status = SetCpuReset(Adapter, 0);
  }
  if (NT_SUCCESS(Status)) {
    Status = DownloadFirmwareImage(Adapter, MainFirmwareImage);
  }
  if (NT_SUCCESS(Status)) {
    Status = SetCpuReset(Adapter, 1);
  }
  if (NT_SUCCESS(Status)) {
    return SetCpuReset(Adapter, 0);
  }
  SetCpuReset(Adapter, 1);
  return Status;
}
