#include "adapter/usb_descriptors.h"

#include "adapter/usb_configuration.h"
#include "adapter/usb_request.h"
#include "core/helpers.h"

#define SERIAL_NUMBER_INDEX 3
#define SERIAL_NUMBER_LANGUAGE 0x0409
#define SERIAL_NUMBER_BUFFER 255
#define SERIAL_NUMBER_MAX_CHARS 32
#define CONFIGURATION_FIRST_READ 521
#define PRODUCT_ID_FIRMWARE_RUNNING 0x8000

// Reads one descriptor into Buffer; *Returned gets the bytes the device gave.
PAGED_ROUTINE static NTSTATUS ReadDescriptor(AdapterExtension* Adapter, PURB Urb, UCHAR Type, UCHAR Index,
                                             USHORT Language, PVOID Buffer, ULONG Length, PULONG Returned) {
  PAGED_CODE();
  RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  UsbBuildGetDescriptorRequest(Urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), Type, Index, Language,
                               Buffer, NULL, Length, NULL);
  NTSTATUS Status = SubmitUrbAndWait(Adapter->LowerDevice, Urb);
  ULONG Got = Urb->UrbControlDescriptorRequest.TransferBufferLength;
  *Returned = Got > Length ? Length : Got;
  return Status;
}

PAGED_ROUTINE static PURB AllocateDescriptorUrb(ULONG Tag) {
  PAGED_CODE();
  return (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), Tag);
}

PAGED_ROUTINE NTSTATUS AdapterReadDeviceDescriptor(AdapterExtension* Adapter) {
  PAGED_CODE();
  PURB Urb = AllocateDescriptorUrb(TAG_BR16);
  PUSB_DEVICE_DESCRIPTOR Descriptor =
      (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), TAG_BR17);
  if (Urb == NULL || Descriptor == NULL) {
    FreePoolAndClear(&Urb);
    FreePoolAndClear(&Descriptor);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
  ULONG Returned = 0;
  NTSTATUS Status = ReadDescriptor(Adapter, Urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, Descriptor,
                                   sizeof(USB_DEVICE_DESCRIPTOR), &Returned);
  ExFreePool(Urb);
  if (NT_SUCCESS(Status) && (Returned < sizeof(USB_DEVICE_DESCRIPTOR) ||
                             Descriptor->bLength < sizeof(USB_DEVICE_DESCRIPTOR) ||
                             Descriptor->bDescriptorType != USB_DEVICE_DESCRIPTOR_TYPE)) {
    Status = STATUS_DEVICE_DATA_ERROR;
  }
  if (!NT_SUCCESS(Status)) {
    ExFreePool(Descriptor);
    return Status;
  }
  FreePoolAndClear(&Adapter->DeviceDescriptor);
  Adapter->DeviceDescriptor = Descriptor;
  Adapter->PortCount = MAX_PORTS;
  Adapter->FirmwareRunning = (Descriptor->idProduct & PRODUCT_ID_FIRMWARE_RUNNING) != 0;
  return STATUS_SUCCESS;
}

static CHAR NameCharacter(USHORT CodeUnit) {
  if ((CodeUnit >= 'A' && CodeUnit <= 'Z') || (CodeUnit >= 'a' && CodeUnit <= 'z') ||
      (CodeUnit >= '0' && CodeUnit <= '9') || CodeUnit == '-' || CodeUnit == '_' || CodeUnit == '.') {
    return (CHAR)CodeUnit;
  }
  return '_';
}

PAGED_ROUTINE NTSTATUS AdapterGetSerialNumber(AdapterExtension* Adapter) {
  PAGED_CODE();
  PURB Urb = AllocateDescriptorUrb(TAG_BR24);
  PUCHAR Text = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, SERIAL_NUMBER_BUFFER, TAG_BR25);
  if (Urb == NULL || Text == NULL) {
    FreePoolAndClear(&Urb);
    FreePoolAndClear(&Text);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Text, SERIAL_NUMBER_BUFFER);
  ULONG Returned = 0;
  NTSTATUS Status = ReadDescriptor(Adapter, Urb, USB_STRING_DESCRIPTOR_TYPE, SERIAL_NUMBER_INDEX,
                                   SERIAL_NUMBER_LANGUAGE, Text, SERIAL_NUMBER_BUFFER, &Returned);
  ExFreePool(Urb);
  if (NT_SUCCESS(Status) &&
      (Returned < 2 || Text[0] < 2 || Text[0] > Returned || Text[1] != USB_STRING_DESCRIPTOR_TYPE)) {
    Status = STATUS_DEVICE_DATA_ERROR;
  }
  if (NT_SUCCESS(Status)) {
    ULONG Count = (ULONG)(Text[0] - 2) / 2;
    PCHAR Serial = NULL;
    if (Count > SERIAL_NUMBER_MAX_CHARS) {
      Status = STATUS_INSUFFICIENT_RESOURCES;
    } else if ((Serial = (PCHAR)ExAllocatePoolWithTag(NonPagedPool, Count + 1, TAG_BR26)) == NULL) {
      Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      for (ULONG i = 0; i < Count; i++) {
        Serial[i] = NameCharacter((USHORT)(Text[2 + 2 * i] | (Text[3 + 2 * i] << 8)));
      }
      Serial[Count] = 0;
      FreePoolAndClear(&Adapter->SerialNumber);
      Adapter->SerialNumber = Serial;
    }
  }
  ExFreePool(Text);
  return Status;
}

// Every descriptor lies whole inside the TotalLength bytes, and interface and endpoint
// descriptors are at least their standard size, so the parsers never read past the end.
static BOOLEAN ConfigurationWellFormed(PUSB_CONFIGURATION_DESCRIPTOR Configuration, ULONG TotalLength) {
  const UCHAR* Bytes = (const UCHAR*)Configuration;
  ULONG Offset = 0;
  while (Offset < TotalLength) {
    if (TotalLength - Offset < 2) {
      return FALSE;
    }
    ULONG Length = Bytes[Offset];
    UCHAR Type = Bytes[Offset + 1];
    if (Length < 2 || Length > TotalLength - Offset) {
      return FALSE;
    }
    if ((Type == USB_INTERFACE_DESCRIPTOR_TYPE && Length < sizeof(USB_INTERFACE_DESCRIPTOR)) ||
        (Type == USB_ENDPOINT_DESCRIPTOR_TYPE && Length < sizeof(USB_ENDPOINT_DESCRIPTOR)) ||
        (Offset == 0 && (Type != USB_CONFIGURATION_DESCRIPTOR_TYPE || Length < sizeof(USB_CONFIGURATION_DESCRIPTOR)))) {
      return FALSE;
    }
    Offset += Length;
  }
  return TRUE;
}

PAGED_ROUTINE NTSTATUS AdapterReadConfiguration(AdapterExtension* Adapter) {
  PAGED_CODE();
  PURB Urb = AllocateDescriptorUrb(TAG_BR21);
  if (Urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  FreePoolAndClear(&Adapter->ConfigurationDescriptor);
  ULONG Size = CONFIGURATION_FIRST_READ;
  NTSTATUS Status = STATUS_SUCCESS;
  // The first read gives the total length; a device that grows it again is not believed.
  for (ULONG Attempt = 0;; Attempt++) {
    Adapter->ConfigurationDescriptor =
        (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, Size, TAG_BR22);
    if (Adapter->ConfigurationDescriptor == NULL) {
      Status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    RtlZeroMemory(Adapter->ConfigurationDescriptor, Size);
    ULONG Returned = 0;
    Status = ReadDescriptor(Adapter, Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, Adapter->ConfigurationDescriptor,
                            Size, &Returned);
    if (!NT_SUCCESS(Status)) {
      break;
    }
    ULONG Total = Returned >= sizeof(USB_CONFIGURATION_DESCRIPTOR) ? Adapter->ConfigurationDescriptor->wTotalLength : 0;
    if (Total > Size && Attempt == 0) {
      FreePoolAndClear(&Adapter->ConfigurationDescriptor);
      Size = Total;
      continue;
    }
    if (Total < sizeof(USB_CONFIGURATION_DESCRIPTOR) || Total > Returned ||
        !ConfigurationWellFormed(Adapter->ConfigurationDescriptor, Total)) {
      Status = STATUS_DEVICE_DATA_ERROR;
    }
    break;
  }
  ExFreePool(Urb);
  if (!NT_SUCCESS(Status)) {
    FreePoolAndClear(&Adapter->ConfigurationDescriptor);
    return Status;
  }
  return AdapterSelectConfiguration(Adapter, Adapter->ConfigurationDescriptor);
}
