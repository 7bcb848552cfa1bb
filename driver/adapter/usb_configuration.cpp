#include "adapter/usb_configuration.h"

#include "adapter/usb_request.h"
#include "core/helpers.h"

static BOOLEAN PipeIs(const USBD_PIPE_INFORMATION* Pipe, BOOLEAN In) {
  return Pipe->PipeType == UsbdPipeTypeBulk && (USBD_PIPE_DIRECTION_IN(Pipe) != 0) == (In != FALSE);
}

// The firmware's layout: a data pair per port, then response and command.
static BOOLEAN InterfaceFitsAdapter(const USBD_INTERFACE_INFORMATION* Info, ULONG PortCount) {
  if (Info->NumberOfPipes < 2 * PortCount + 2) {
    return FALSE;
  }
  for (ULONG i = 0; i < PortCount; i++) {
    if (!PipeIs(&Info->Pipes[2 * i], TRUE) || !PipeIs(&Info->Pipes[2 * i + 1], FALSE)) {
      return FALSE;
    }
  }
  return PipeIs(&Info->Pipes[2 * PortCount], TRUE) && PipeIs(&Info->Pipes[2 * PortCount + 1], FALSE);
}

PAGED_ROUTINE NTSTATUS AdapterSelectConfiguration(AdapterExtension* Adapter, PUSB_CONFIGURATION_DESCRIPTOR Configuration) {
  PAGED_CODE();
  if (USBD_ParseConfigurationDescriptorEx(Configuration, Configuration, -1, -1, -1, -1, -1) == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  USHORT UrbSize = 0;
  PURB Urb = USBD_CreateConfigurationRequest(Configuration, &UrbSize);
  if (Urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PUSBD_INTERFACE_INFORMATION Info = &Urb->UrbSelectConfiguration.Interface;
  for (ULONG i = 0; i < Info->NumberOfPipes; i++) {
    Info->Pipes[i].MaximumTransferSize = Adapter->MaximumTransferSize;
    Info->Pipes[i].PipeFlags = 0;
  }
  Urb->UrbHeader.Length = UrbSize;
  Urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  Urb->UrbSelectConfiguration.ConfigurationDescriptor = Configuration;

  NTSTATUS Status = SubmitUrbAndWait(Adapter->LowerDevice, Urb);
  if (!NT_SUCCESS(Status) || !Adapter->FirmwareRunning) {
    ExFreePool(Urb);
    return Status;
  }
  if (!InterfaceFitsAdapter(Info, Adapter->PortCount)) {
    ExFreePool(Urb);
    return STATUS_DEVICE_DATA_ERROR;
  }
  // Allocated once: the ports' pipe pointers lead into it, so a restart refills it in place.
  if (Adapter->InterfaceInformation != NULL && Adapter->InterfaceInformation->Length != Info->Length) {
    ExFreePool(Urb);
    return STATUS_DEVICE_DATA_ERROR;
  }
  if (Adapter->InterfaceInformation == NULL) {
    Adapter->InterfaceInformation =
        (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, Info->Length, TAG_BR23);
  }
  if (Adapter->InterfaceInformation == NULL) {
    ExFreePool(Urb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(Adapter->InterfaceInformation, Info, Info->Length);
  ExFreePool(Urb);

  PUSBD_PIPE_INFORMATION Pipes = Adapter->InterfaceInformation->Pipes;
  for (ULONG i = 0; i < Adapter->PortCount; i++) {
    PortExtension* Port = Adapter->Ports[i];
    if (Port != NULL) {
      Port->DataInPipe = &Pipes[2 * i];
      Port->DataOutPipe = &Pipes[2 * i + 1];
      Port->PortNumber = i + 1;
    }
  }
  Adapter->ResponsePipe = &Pipes[2 * Adapter->PortCount];
  Adapter->CommandPipe = &Pipes[2 * Adapter->PortCount + 1];
  return STATUS_SUCCESS;
}

PAGED_ROUTINE NTSTATUS AdapterUnconfigure(AdapterExtension* Adapter) {
  PAGED_CODE();
  ULONG Size = sizeof(struct _URB_SELECT_CONFIGURATION);
  PURB Urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, Size, TAG_BR33);
  if (Urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Urb, Size);
  UsbBuildSelectConfigurationRequest(Urb, (USHORT)Size, NULL);
  NTSTATUS Status = SubmitUrbAndWait(Adapter->LowerDevice, Urb);
  ExFreePool(Urb);
  return Status;
}
