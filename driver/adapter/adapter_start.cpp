#include "adapter/adapter_start.h"

#include "adapter/port_enumeration.h"
#include "adapter/port_initialize.h"
#include "adapter/usb_descriptors.h"
#include "command/command_queue.h"
#include "command/response.h"
#include "core/helpers.h"

// The command channel's URBs and response buffer, allocated at the first start and kept.
PAGED_ROUTINE static NTSTATUS AdapterAllocateCommandBlocks(AdapterExtension* Adapter) {
  PAGED_CODE();
  if (Adapter->CommandUrb == NULL) {
    Adapter->CommandUrb =
        (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), TAG_BR18);
  }
  if (Adapter->ResponseUrb == NULL) {
    Adapter->ResponseUrb =
        (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), TAG_BR19);
  }
  if (Adapter->ResponseBuffer == NULL) {
    Adapter->ResponseBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, RESPONSE_BLOCK_SIZE, TAG_BR20);
  }
  if (Adapter->CommandUrb == NULL || Adapter->ResponseUrb == NULL || Adapter->ResponseBuffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

PAGED_ROUTINE NTSTATUS AdapterStartDevice(AdapterExtension* Adapter) {
  PAGED_CODE();
  if (Adapter->InterfaceName.Buffer != NULL) {
    IoSetDeviceInterfaceState(&Adapter->InterfaceName, TRUE);
  }
  Adapter->DevicePowerState = PowerDeviceD0;

  NTSTATUS Status = AdapterReadDeviceDescriptor(Adapter);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  if (Adapter->FirmwareRunning && !Adapter->PortsCreated) {
    Status = AdapterGetSerialNumber(Adapter);
    if (NT_SUCCESS(Status)) {
      Status = AdapterCreatePorts(Adapter);
    }
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  Status = AdapterReadConfiguration(Adapter);
  if (!NT_SUCCESS(Status) || !Adapter->FirmwareRunning) {
    return Status;
  }
  Status = AdapterAllocateCommandBlocks(Adapter);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  CommandChannelInitialize(Adapter);

  for (ULONG i = 0; i < Adapter->PortCount; i++) {
    PortExtension* Port = Adapter->Ports[i];
    if (Port == NULL) {
      continue;
    }
    if (!PortInitialize(Port)) {
      return STATUS_UNSUCCESSFUL;
    }
    Port->Self->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
    Port->Self->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  Adapter->PortsCreated = TRUE;

  // Ports whose handles stayed open across a stop take up where they were.
  if (InterlockedCompareExchange((LONG volatile*)&Adapter->OpenPortCount, 0, 0) != 0) {
    ResponseReadStart(Adapter);
  }
  for (ULONG i = 0; i < Adapter->PortCount; i++) {
    if (Adapter->Ports[i] != NULL) {
      PortResume(Adapter->Ports[i]);
    }
  }
  return STATUS_SUCCESS;
}
