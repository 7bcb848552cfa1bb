#include "adapter/adapter_removal.h"

#include "adapter/port_initialize.h"
#include "command/command_queue.h"
#include "core/helpers.h"
#include "port/port_pnp.h"
#include "power_wmi/power_transfers.h"

PAGED_ROUTINE VOID AdapterDisableInterface(AdapterExtension* Adapter) {
  PAGED_CODE();
  if (Adapter->InterfaceName.Buffer != NULL) {
    IoSetDeviceInterfaceState(&Adapter->InterfaceName, FALSE);
    RtlFreeUnicodeString(&Adapter->InterfaceName);
  }
}

PAGED_ROUTINE VOID AdapterQuiesce(AdapterExtension* Adapter, BOOLEAN Removing) {
  PAGED_CODE();
  // Not while a power change holds or resumes the transfers; after it, the ports are
  // plug and play's to restart.
  PowerTransferLockAcquire(Adapter);
  AdapterForgetHold(Adapter);
  if (Removing) {
    // Under the lock the completion routines read it under.
    AcquireOwnedSpinLock(&Adapter->AdapterLock);
    Adapter->AdapterRemoved = TRUE;
    ReleaseOwnedSpinLock(&Adapter->AdapterLock);
  }
  ExAcquireFastMutex(&Adapter->ChildListMutex);
  PortExtension* Ports[MAX_PORTS];
  ULONG Count = 0;
  for (PLIST_ENTRY Entry = Adapter->ChildList.Flink; Entry != &Adapter->ChildList && Count < MAX_PORTS;
       Entry = Entry->Flink) {
    Ports[Count++] = CONTAINING_RECORD(Entry, PortExtension, AdapterLink);
  }
  ExReleaseFastMutex(&Adapter->ChildListMutex);
  // Cancels wait for completions: not under the mutex. Only removal, which is serialised
  // with this, deletes a port.
  for (ULONG i = 0; i < Count; i++) {
    PortSuspend(Ports[i]);
  }
  CommandChannelStop(Adapter);
  PowerTransferLockRelease(Adapter);
}

PAGED_ROUTINE NTSTATUS AdapterRemoveDevice(AdapterExtension* Adapter, PIRP Irp) {
  PAGED_CODE();
  AcquireOwnedSpinLock(&Adapter->AdapterLock);
  Adapter->AdapterRemoved = TRUE;
  ReleaseOwnedSpinLock(&Adapter->AdapterLock);
  if (Adapter->DevicePnpState != SurpriseRemoved) {
    AdapterDisableInterface(Adapter);
  }
  Adapter->DevicePnpState = Deleted;
  AdapterDrainBeforeRemove(Adapter);
  AdapterQuiesce(Adapter, TRUE);

  LIST_ENTRY Doomed;
  InitializeListHead(&Doomed);
  ExAcquireFastMutex(&Adapter->ChildListMutex);
  while (!IsListEmpty(&Adapter->ChildList)) {
    PLIST_ENTRY Entry = RemoveHeadList(&Adapter->ChildList);
    Adapter->ChildCount--;
    CONTAINING_RECORD(Entry, PortExtension, AdapterLink)->Present = FALSE;
    InsertTailList(&Doomed, Entry);
  }
  ExReleaseFastMutex(&Adapter->ChildListMutex);
  while (!IsListEmpty(&Doomed)) {
    PortExtension* Port = CONTAINING_RECORD(RemoveHeadList(&Doomed), PortExtension, AdapterLink);
    InitializeListHead(&Port->AdapterLink);
    PortDeleteDevice(Port->Self, Port);
  }

  FreePoolAndClear(&Adapter->CommandUrb);
  FreePoolAndClear(&Adapter->ResponseUrb);
  FreePoolAndClear(&Adapter->ResponseBuffer);
  FreePoolAndClear(&Adapter->DeviceDescriptor);
  FreePoolAndClear(&Adapter->ConfigurationDescriptor);
  Adapter->ResponsePipe = NULL;
  Adapter->CommandPipe = NULL;
  FreePoolAndClear(&Adapter->InterfaceInformation);
  FreePoolAndClear(&Adapter->SerialNumber);
  // The drain waited for the power worker's count; the I/O manager keeps the device object
  // until the worker's routine has returned.
  IoFreeWorkItem(Adapter->PowerWorkItem);
  Adapter->PowerWorkItem = NULL;

  PDEVICE_OBJECT Lower = Adapter->LowerDevice;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS Status = IoCallDriver(Lower, Irp);
  IoDetachDevice(Lower);
  AdapterTable[Adapter->AdapterIndex] = NULL;
  AdapterCount--;
  IoDeleteDevice(Adapter->Self);
  return Status;
}
