#include "adapter/port_enumeration.h"

#include "adapter/kernel_names.h"
#include "core/helpers.h"
#include "datapath/immediate.h"
#include "datapath/read.h"
#include "datapath/write.h"
#include "port/wait_mask.h"

#define PORT_NAME_BUFFER 64
#define HARDWARE_IDS_BYTES 36

// The port's kernel objects, made once for its life: a restart of the adapter while the port
// is open must not re-initialise anything in use.
PAGED_ROUTINE static VOID PortInitializeObjects(PortExtension* Port) {
  PAGED_CODE();
  InitializeListHead(&Port->ReadQueue);
  InitializeListHead(&Port->WriteQueue);
  InitializeListHead(&Port->MaskQueue);
  InitializeListHead(&Port->PurgeQueue);
  KeInitializeTimer(&Port->ReadTotalTimer);
  KeInitializeTimer(&Port->ReadIntervalTimer);
  KeInitializeTimer(&Port->WriteTotalTimer);
  KeInitializeTimer(&Port->ImmediateTimer);
  KeInitializeDpc(&Port->ReadCompleteDpc, ReadCompleteDpc, Port);
  KeInitializeDpc(&Port->ReadTotalTimeoutDpc, ReadTotalTimeoutDpc, Port);
  KeInitializeDpc(&Port->ReadIntervalTimeoutDpc, ReadIntervalTimeoutDpc, Port);
  KeInitializeDpc(&Port->WriteCompleteDpc, WriteCompleteDpc, Port);
  KeInitializeDpc(&Port->WriteTimeoutDpc, WriteTimeoutDpc, Port);
  KeInitializeDpc(&Port->ImmediateCompleteDpc, ImmediateCompleteDpc, Port);
  KeInitializeDpc(&Port->ImmediateTimeoutDpc, ImmediateTimeoutDpc, Port);
  KeInitializeDpc(&Port->CommWaitDpc, CommWaitDpc, Port);
  KeInitializeEvent(&Port->EchoEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Port->DataWriteDoneEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Port->StatusEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Port->CommandDoneEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Port->PipeResetEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Port->SettingsLock, SynchronizationEvent, TRUE);
  InitializeOwnedSpinLock(&Port->ReceiveLock);
  InitializeOwnedSpinLock(&Port->WriteLock);
  InitializeOwnedSpinLock(&Port->ControlLock);
  KeInitializeSpinLock(&Port->WaitStateLock);
}

PAGED_ROUTINE VOID PortLinkToAdapter(PDEVICE_OBJECT DeviceObject, AdapterExtension* Adapter) {
  PAGED_CODE();
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  Port->IsAdapter = FALSE;
  Port->Self = DeviceObject;
  Port->PortDeviceObject = DeviceObject;
  Port->DevicePnpState = NotStarted;
  Port->ParentDeviceObject = Adapter->Self;
  Port->Adapter = Adapter;
  Port->Present = TRUE;
  Port->PortInstanceNumber = (ULONG)InterlockedIncrement(&Adapter->PortInstanceCounter);
  Port->DevicePowerState = PowerDeviceD0;
  Port->SystemPowerState = PowerSystemWorking;
  ExAcquireFastMutex(&Adapter->ChildListMutex);
  InsertTailList(&Adapter->ChildList, &Port->AdapterLink);
  Adapter->ChildCount++;
  ExReleaseFastMutex(&Adapter->ChildListMutex);
}

// "ZELBUS\BRPORTSnn" and the second NUL of its one-entry MULTI_SZ.
static VOID FormatHardwareIds(PWSTR Ids, ULONG Number) {
  static const CHAR Prefix[] = PORT_HARDWARE_ID_PREFIX;
  ULONG i = 0;
  for (; Prefix[i] != 0; i++) {
    Ids[i] = (WCHAR)Prefix[i];
  }
  Ids[i++] = (WCHAR)(L'0' + Number / 10 % 10);
  Ids[i++] = (WCHAR)(L'0' + Number % 10);
  Ids[i++] = 0;
  Ids[i] = 0;
}

PAGED_ROUTINE static NTSTATUS AdapterCreatePort(AdapterExtension* Adapter, ULONG Index) {
  PAGED_CODE();
  WCHAR NameText[PORT_NAME_BUFFER];
  UNICODE_STRING Name;
  FormatKernelName(NameText, PORT_NAME_BUFFER, Adapter->SerialNumber, TRUE, Index, &Name);
  PDEVICE_OBJECT DeviceObject = NULL;
  NTSTATUS Status = IoCreateDevice(Adapter->Self->DriverObject, sizeof(PortExtension), &Name, FILE_DEVICE_SERIAL_PORT, 0, TRUE,
                          &DeviceObject);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  RtlZeroMemory(Port, sizeof(PortExtension));

  USHORT Capacity = (USHORT)(Name.Length + sizeof(WCHAR));
  Port->PortDeviceName.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, Capacity, TAG_BR27);
  Port->HardwareIds = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, HARDWARE_IDS_BYTES, TAG_BR28);
  Port->WriteDrainWorkItem = (PortWorkItem*)ExAllocatePoolWithTag(NonPagedPool, sizeof(PortWorkItem), TAG_BR41);
  if (Port->PortDeviceName.Buffer == NULL || Port->HardwareIds == NULL || Port->WriteDrainWorkItem == NULL) {
    FreePoolAndClear(&Port->PortDeviceName.Buffer);
    FreePoolAndClear(&Port->HardwareIds);
    FreePoolAndClear(&Port->WriteDrainWorkItem);
    IoDeleteDevice(DeviceObject);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Port->PortDeviceName.Buffer, Capacity);
  Port->PortDeviceName.Length = 0;
  Port->PortDeviceName.MaximumLength = Capacity;
  RtlAppendUnicodeStringToString(&Port->PortDeviceName, &Name);
  Port->CreatedSymbolicLink = FALSE;
  RtlZeroMemory(Port->HardwareIds, HARDWARE_IDS_BYTES);
  FormatHardwareIds(Port->HardwareIds, Index + 1);
  RtlZeroMemory(Port->WriteDrainWorkItem, sizeof(PortWorkItem));
  Port->WriteDrainWorkItem->Port = Port;
  Port->PortNumber = Index + 1;
  PortInitializeObjects(Port);

  PortLinkToAdapter(DeviceObject, Adapter);
  // The event path finds ports through the table under AdapterLock.
  AcquireOwnedSpinLock(&Adapter->AdapterLock);
  Adapter->Ports[Index] = Port;
  ReleaseOwnedSpinLock(&Adapter->AdapterLock);
  return STATUS_SUCCESS;
}

PAGED_ROUTINE NTSTATUS AdapterCreatePorts(AdapterExtension* Adapter) {
  PAGED_CODE();
  for (ULONG i = 0; i < Adapter->PortCount && i < MAX_PORTS; i++) {
    if (Adapter->Ports[i] != NULL) {
      continue;
    }
    NTSTATUS Status = AdapterCreatePort(Adapter, i);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  return STATUS_SUCCESS;
}

PAGED_ROUTINE NTSTATUS AdapterQueryBusRelations(AdapterExtension* Adapter, PIRP Irp, PBOOLEAN PassUntouched) {
  PAGED_CODE();
  *PassUntouched = FALSE;
  ExAcquireFastMutex(&Adapter->ChildListMutex);
  PDEVICE_RELATIONS Existing = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
  if (Existing != NULL && Adapter->ChildCount == 0) {
    ExReleaseFastMutex(&Adapter->ChildListMutex);
    *PassUntouched = TRUE;
    return STATUS_SUCCESS;
  }
  ULONG Present = 0;
  for (PLIST_ENTRY Entry = Adapter->ChildList.Flink; Entry != &Adapter->ChildList; Entry = Entry->Flink) {
    if (CONTAINING_RECORD(Entry, PortExtension, AdapterLink)->Present) {
      Present++;
    }
  }
  ULONG Previous = Existing != NULL ? Existing->Count : 0;
  ULONG Count = Previous + Present;
  SIZE_T Size = sizeof(DEVICE_RELATIONS) + (Count > 0 ? Count - 1 : 0) * sizeof(PDEVICE_OBJECT);
  PDEVICE_RELATIONS Relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, Size, TAG_BR15);
  if (Relations == NULL) {
    ExReleaseFastMutex(&Adapter->ChildListMutex);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Relations, Size);
  for (ULONG i = 0; i < Previous; i++) {
    Relations->Objects[i] = Existing->Objects[i];
  }
  ULONG Next = Previous;
  for (PLIST_ENTRY Entry = Adapter->ChildList.Flink; Entry != &Adapter->ChildList; Entry = Entry->Flink) {
    PortExtension* Port = CONTAINING_RECORD(Entry, PortExtension, AdapterLink);
    if (Port->Present) {
      ObReferenceObject(Port->Self);
      Relations->Objects[Next++] = Port->Self;
    }
  }
  Relations->Count = Count;
  FreePoolAndClear(&Existing);
  Irp->IoStatus.Information = (ULONG_PTR)Relations;
  ExReleaseFastMutex(&Adapter->ChildListMutex);
  return STATUS_SUCCESS;
}
