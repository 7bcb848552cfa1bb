// The two removal steps of a port that touch the adapter's Ports table. The event path and
// surprise removal find ports through that table holding AdapterLock, so the table changes
// only under the same lock.
#include "port/port_pnp.h"

#include "command/response.h"
#include "core/helpers.h"
#include "datapath/request_queue.h"
#include "port/open_close.h"
#include "port/port_naming.h"
#include "power_wmi/wmi.h"

NTSTATUS PortSurpriseRemoval(PortExtension* Port) {
  AdapterExtension* Adapter = Port->Adapter;
  AcquireOwnedSpinLock(&Adapter->AdapterLock);
  // Under the lock command issuers on other processors read it under to drop their commands.
  Port->DevicePnpState = SurpriseRemoved;
  for (ULONG i = 0; i < MAX_PORTS; i++) {
    if (Adapter->Ports[i] != NULL) {
      PortDeliverEvents(Adapter->Ports[i], SERIAL_EV_EVENT1);
    }
  }
  ReleaseOwnedSpinLock(&Adapter->AdapterLock);
  return STATUS_SUCCESS;
}

VOID PortDetachFromAdapter(PortExtension* Port) {
  AdapterExtension* Adapter = Port->Adapter;
  AcquireOwnedSpinLock(&Adapter->AdapterLock);
  if (Port->PortNumber >= 1 && Port->PortNumber <= MAX_PORTS && Adapter->Ports[Port->PortNumber - 1] == Port) {
    Adapter->Ports[Port->PortNumber - 1] = NULL;
  }
  ReleaseOwnedSpinLock(&Adapter->AdapterLock);
}

// Every source that could still touch the record stops before anything is freed: the event
// path (through Ports[]), the data transfers, the requests with their timers, and the DPCs
// and the drain worker, which give back DpcPendingCount when they end.
PAGED_ROUTINE static VOID PortQuiesce(PortExtension* Port) {
  PAGED_CODE();
  // New requests through a handle still open are refused from here on.
  Port->DevicePnpState = Deleted;
  PortDetachFromAdapter(Port);
  PortMarkClosed(Port);
  PortCancelAllRequests(Port);
  CancelAllRequests(Port->Self, NULL, &Port->ImmediateIrp);
  CancelTransferAndWait(&Port->DataReadIrp, &Port->EchoEvent, &Port->ReceiveLock);
  CancelDataWriteAndWait(Port, FALSE);

  LARGE_INTEGER Poll;
  Poll.QuadPart = -10 * 1000;  // 1 ms
  for (;;) {
    KIRQL CancelIrql;
    IoAcquireCancelSpinLock(&CancelIrql);
    BOOLEAN Busy = Port->CurrentRead != NULL || Port->CurrentWrite != NULL || Port->CurrentMask != NULL ||
                   Port->CurrentPurge != NULL || Port->ImmediateIrp != NULL || Port->WaitIrp != NULL ||
                   Port->DataReadIrp != NULL || Port->DataWriteIrp != NULL ||
                   InterlockedCompareExchange(&Port->DpcPendingCount, 0, 0) != 0;
    IoReleaseCancelSpinLock(CancelIrql);
    if (!Busy) {
      break;
    }
    KeDelayExecutionThread(KernelMode, FALSE, &Poll);
  }

  // Nothing is left that would set them again; any still set or queued now carries no request.
  KeCancelTimer(&Port->ReadTotalTimer);
  KeCancelTimer(&Port->ReadIntervalTimer);
  KeCancelTimer(&Port->WriteTotalTimer);
  KeCancelTimer(&Port->ImmediateTimer);
  PKDPC Dpcs[] = {&Port->WriteCompleteDpc,     &Port->ReadCompleteDpc,      &Port->ReadTotalTimeoutDpc,
                  &Port->ReadIntervalTimeoutDpc, &Port->WriteTimeoutDpc,    &Port->ImmediateCompleteDpc,
                  &Port->ImmediateTimeoutDpc,   &Port->CommWaitDpc};
  for (ULONG i = 0; i < sizeof(Dpcs) / sizeof(Dpcs[0]); i++) {
    KeRemoveQueueDpc(Dpcs[i]);
  }
}

PAGED_ROUTINE NTSTATUS PortDeleteDevice(PDEVICE_OBJECT DeviceObject, PortExtension* Port) {
  PAGED_CODE();
  // Before anything a WMI request reads is freed.
  PortWmiDeregister(Port);
  PortQuiesce(Port);
  PortReleaseReceiveBuffer(Port);
  FreePoolAndClear(&Port->HardwareIds);
  FreePoolAndClear(&Port->DataReadBuffer);
  FreePoolAndClear(&Port->DataReadUrb);
  FreePoolAndClear(&Port->DataWriteBuffer);
  FreePoolAndClear(&Port->DataWriteUrb);
  FreePoolAndClear(&Port->WriteDrainWorkItem);
  PortRemoveNames(Port);
  FreeStringAndClear(&Port->PortName);
  FreeStringAndClear(&Port->SymbolicLinkName);
  FreeStringAndClear(&Port->ComName);
  FreeStringAndClear(&Port->PortDeviceName);
  IoDeleteDevice(DeviceObject);
  return STATUS_SUCCESS;
}
