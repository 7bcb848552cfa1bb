// AdapterAddDevice: the adapter's device object, its record's first values, the driver
// parameters, the adapter interface and the attachment to the USB device's stack.
#include "adapter/add_device.h"

#include "adapter/kernel_names.h"
#include "adapter/registry_parameters.h"
#include "command/command_queue.h"
#include "core/guids.h"
#include "core/helpers.h"

#define ADAPTER_NAME_BUFFER 32

PAGED_ROUTINE static VOID AdapterReleaseSlot(ULONG Index) {
  PAGED_CODE();
  AdapterTable[Index] = NULL;
  AdapterCount--;
}

PAGED_ROUTINE static VOID AdapterInitializeRecord(AdapterExtension* Adapter, PDEVICE_OBJECT DeviceObject,
                                                  PDEVICE_OBJECT PhysicalDeviceObject, ULONG Index) {
  PAGED_CODE();
  RtlZeroMemory(Adapter, sizeof(AdapterExtension));
  Adapter->Self = DeviceObject;
  Adapter->FunctionDeviceObject = DeviceObject;
  Adapter->IsAdapter = TRUE;
  Adapter->DevicePnpState = NotStarted;
  Adapter->SystemPowerState = PowerSystemWorking;
  Adapter->DevicePowerState = PowerDeviceUnspecified;
  Adapter->PhysicalDeviceObject = PhysicalDeviceObject;
  Adapter->AdapterIndex = Index;
  InitializeListHead(&Adapter->ChildList);
  ExInitializeFastMutex(&Adapter->ChildListMutex);
  // Created once: a port may be closing while its adapter restarts.
  ExInitializeFastMutex(&Adapter->OpenMutex);
  Adapter->PendingIoCount = 1;
  KeInitializeEvent(&Adapter->NoPendingIoEvent, SynchronizationEvent, TRUE);
  KeInitializeEvent(&Adapter->RemoveEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&Adapter->ResponseResetEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Adapter->PowerTransferLock, SynchronizationEvent, TRUE);
  InitializeOwnedSpinLock(&Adapter->AdapterLock);
  CommandChannelInitialize(Adapter);
  Adapter->MaximumTransferSize = 4096;
}

PAGED_ROUTINE NTSTATUS NTAPI AdapterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();
  // The driver's own port devices are the serial ports themselves: nothing goes above them.
  if (PhysicalDeviceObject->DeviceType == FILE_DEVICE_SERIAL_PORT) {
    return STATUS_SUCCESS;
  }
  if (AdapterCount >= MAX_ADAPTERS) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG Index = 0;
  while (Index < MAX_ADAPTERS && AdapterTable[Index] != NULL) {
    Index++;
  }
  if (Index == MAX_ADAPTERS) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  WCHAR NameText[ADAPTER_NAME_BUFFER];
  UNICODE_STRING Name;
  FormatKernelName(NameText, ADAPTER_NAME_BUFFER, NULL, FALSE, Index, &Name);
  PDEVICE_OBJECT DeviceObject = NULL;
  NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(AdapterExtension), &Name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                   &DeviceObject);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }

  AdapterExtension* Adapter = (AdapterExtension*)DeviceObject->DeviceExtension;
  AdapterInitializeRecord(Adapter, DeviceObject, PhysicalDeviceObject, Index);
  // Made now: a wake must never find the power worker's item missing.
  Adapter->PowerWorkItem = IoAllocateWorkItem(DeviceObject);
  if (Adapter->PowerWorkItem == NULL) {
    IoDeleteDevice(DeviceObject);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  AdapterCount++;
  AdapterTable[Index] = Adapter;
  AdapterReadParameters(Adapter);

  DeviceObject->Flags |= DO_POWER_PAGABLE;
  Status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_ADAPTER_INTERFACE, NULL, &Adapter->InterfaceName);
  if (!NT_SUCCESS(Status)) {
    IoFreeWorkItem(Adapter->PowerWorkItem);
    AdapterReleaseSlot(Index);
    IoDeleteDevice(DeviceObject);
    return Status;
  }

  Adapter->LowerDevice = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
  if (Adapter->LowerDevice == NULL) {
    // No stack to serve: nothing of the adapter may stay behind.
    RtlFreeUnicodeString(&Adapter->InterfaceName);
    IoFreeWorkItem(Adapter->PowerWorkItem);
    AdapterReleaseSlot(Index);
    IoDeleteDevice(DeviceObject);
    return STATUS_NO_SUCH_DEVICE;
  }
  DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
