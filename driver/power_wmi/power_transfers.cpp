#include "power_wmi/power_transfers.h"

#include "adapter/port_initialize.h"
#include "command/command_queue.h"
#include "command/protocol.h"
#include "command/response.h"
#include "core/helpers.h"
#include "datapath/receive.h"
#include "datapath/request_queue.h"
#include "datapath/write.h"
#include "port/line_settings.h"
#include "port/open_close.h"
#include "power_wmi/power.h"

VOID PowerTransferLockAcquire(AdapterExtension* Adapter) {
  KeWaitForSingleObject(&Adapter->PowerTransferLock, Executive, KernelMode, FALSE, NULL);
}

VOID PowerTransferLockRelease(AdapterExtension* Adapter) {
  KeSetEvent(&Adapter->PowerTransferLock, IO_NO_INCREMENT, FALSE);
}

// The ports the adapter has now; only removal, which waits for the power worker and the
// power requests, deletes one.
static ULONG AdapterPortSnapshot(AdapterExtension* Adapter, PortExtension** Ports) {
  ULONG Count = 0;
  ExAcquireFastMutex(&Adapter->ChildListMutex);
  for (ULONG i = 0; i < MAX_PORTS; i++) {
    if (Adapter->Ports[i] != NULL) {
      Ports[Count++] = Adapter->Ports[i];
    }
  }
  ExReleaseFastMutex(&Adapter->ChildListMutex);
  return Count;
}

static VOID PortSetTransfersHeld(PortExtension* Port, BOOLEAN Held) {
  PortOpenStateLock(Port);
  Port->TransfersHeld = Held;
  PortOpenStateUnlock(Port);
}

VOID AdapterHoldTransfers(AdapterExtension* Adapter) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  PowerTransferLockAcquire(Adapter);
  BOOLEAN Acquired = AdapterLockEnter(Adapter);
  // A stopped or removed adapter has nothing running, and plug and play restarts it.
  BOOLEAN Hold = !Adapter->TransfersHeld && !Adapter->AdapterRemoved && !Adapter->CommandChannelStopped;
  if (Hold) {
    Adapter->TransfersHeld = TRUE;
  }
  AdapterLockLeave(Adapter, Acquired);
  if (Hold) {
    PortExtension* Ports[MAX_PORTS];
    ULONG Count = AdapterPortSnapshot(Adapter, Ports);
    for (ULONG i = 0; i < Count; i++) {
      PortSetTransfersHeld(Ports[i], TRUE);
      // A chunk cancelled in flight keeps its place in the write and goes again at resume.
      CancelTransferAndWait(&Ports[i]->DataReadIrp, &Ports[i]->EchoEvent, &Ports[i]->ReceiveLock);
      CancelDataWriteAndWait(Ports[i], FALSE);
    }
    CommandChannelStop(Adapter);
  }
  PowerTransferLockRelease(Adapter);
}

VOID AdapterForgetHold(AdapterExtension* Adapter) {
  BOOLEAN Acquired = AdapterLockEnter(Adapter);
  Adapter->TransfersHeld = FALSE;
  AdapterLockLeave(Adapter, Acquired);
  PortExtension* Ports[MAX_PORTS];
  ULONG Count = AdapterPortSnapshot(Adapter, Ports);
  for (ULONG i = 0; i < Count; i++) {
    PortSetTransfersHeld(Ports[i], FALSE);
  }
}

// The adapter kept its firmware and the ports' state through the power-down, but what the
// driver sent while it was down was dropped: the settings and output lines go again, then
// the receive stream and the write in progress start where they stopped.
static VOID PortResumeTransfers(PortExtension* Port) {
  PortSetTransfersHeld(Port, FALSE);
  if (!PortHasOpenHandle(Port)) {
    return;
  }
  SettingsLockAcquire(Port);
  AcquireOwnedSpinLock(&Port->ControlLock);
  PortConfigBlock Block = Port->Config;
  UCHAR Lines = Port->OutputLines;
  ReleaseOwnedSpinLock(&Port->ControlLock);
  CommandIssue(Port->Adapter, COMMAND_SET_CONFIGURATION, &Block, sizeof(Block));
  SettingsLockRelease(Port);
  PortSetDtr(Port, (Lines & OUTPUT_LINE_DTR) != 0);
  // Refused while the handshake owns RTS, which the configuration has set already.
  PortSetRts(Port, (Lines & OUTPUT_LINE_RTS) != 0);
  if (Lines & OUTPUT_LINE_BREAK) {
    PortSetBreak(Port, TRUE);
  }

  DataReadStart(Port);
  PIRP ToSend = NULL;
  AcquireOwnedSpinLock(&Port->WriteLock);
  if (Port->WriteInFlight == WRITE_IN_FLIGHT_NONE) {
    DataWriteSend(Port, &ToSend);
  }
  ReleaseOwnedSpinLock(&Port->WriteLock);
  if (ToSend != NULL) {
    DataTransferSend(Port, ToSend);
  }
}

static VOID AdapterResumeTransfers(AdapterExtension* Adapter) {
  PowerTransferLockAcquire(Adapter);
  BOOLEAN Acquired = AdapterLockEnter(Adapter);
  BOOLEAN Resume = Adapter->TransfersHeld && !Adapter->AdapterRemoved;
  Adapter->TransfersHeld = FALSE;
  if (Resume) {
    // CommandChannelStop left nothing in flight and nothing queued.
    Adapter->CommandChannelStopped = FALSE;
    Adapter->CommandBusy = FALSE;
    Adapter->ResponseResetNeeded = FALSE;
    Adapter->CommandRestartNeeded = FALSE;
  }
  AdapterLockLeave(Adapter, Acquired);
  if (Resume) {
    if (InterlockedCompareExchange((LONG volatile*)&Adapter->OpenPortCount, 0, 0) != 0) {
      ResponseReadStart(Adapter);
    }
    PortExtension* Ports[MAX_PORTS];
    ULONG Count = AdapterPortSnapshot(Adapter, Ports);
    for (ULONG i = 0; i < Count; i++) {
      PortResumeTransfers(Ports[i]);
    }
  }
  PowerTransferLockRelease(Adapter);
}

static VOID AdapterRequestPowerUp(AdapterExtension* Adapter) {
  POWER_STATE Up;
  Up.DeviceState = PowerDeviceD0;
  // Counted like the system request the callback would otherwise complete.
  PendingIoIncrement(Adapter);
  if (!NT_SUCCESS(PoRequestPowerIrp(Adapter->Self, IRP_MN_SET_POWER, Up, AdapterPowerRequestComplete, NULL, NULL))) {
    // Twice without a request: the device stays down until the next wake or restart.
    PendingIoDecrement(Adapter);
  }
}

static VOID NTAPI AdapterPowerWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  AdapterExtension* Adapter = (AdapterExtension*)Context;
  for (;;) {
    BOOLEAN Acquired = AdapterLockEnter(Adapter);
    ULONG Work = Adapter->PowerWork;
    Adapter->PowerWork = 0;
    if (Work == 0) {
      Adapter->PowerWorkQueued = FALSE;
    }
    AdapterLockLeave(Adapter, Acquired);
    if (Work == 0) {
      break;
    }
    if (Work & POWER_WORK_REQUEST_D0) {
      AdapterRequestPowerUp(Adapter);
    }
    if (Work & POWER_WORK_RESUME) {
      AdapterResumeTransfers(Adapter);
    }
  }
  PendingIoDecrement(Adapter);
}

VOID AdapterQueuePowerWork(AdapterExtension* Adapter, ULONG Work) {
  BOOLEAN Acquired = AdapterLockEnter(Adapter);
  Adapter->PowerWork |= Work;
  BOOLEAN Queue = !Adapter->PowerWorkQueued;
  Adapter->PowerWorkQueued = TRUE;
  AdapterLockLeave(Adapter, Acquired);
  if (Queue) {
    PendingIoIncrement(Adapter);
    IoQueueWorkItem(Adapter->PowerWorkItem, AdapterPowerWorker, DelayedWorkQueue, Adapter);
  }
}
