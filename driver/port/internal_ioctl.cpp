// Internal serial requests: a driver layered on a port switches it to basic settings (no
// timeouts, no handshake or flow control) and later puts back the settings it was handed.
// Both the timeouts and the handshake are taken over, and the handshake reaches the adapter
// in a configuration block, so basic settings really switch the adapter's handshake off.
// Non-pageable: layered drivers may call at DISPATCH_LEVEL.
#include "port/internal_ioctl.h"

#include "command/command_queue.h"
#include "core/helpers.h"
#include "datapath/request_queue.h"
#include "port/control_request.h"
#include "port/line_settings.h"

#define BASIC_RX_FIFO 60
#define BASIC_TX_FIFO 8

// Applies the block's timeouts and handshake, after copying the settings it replaces into
// *Old when asked, in one section under ControlLock (taken only if this thread does not hold
// it already), then sends the configuration block. At PASSIVE_LEVEL the whole step holds
// SettingsLock, as every settings change does; above it the step cannot wait for that lock
// and the block is only queued (the command channel does not wait there either).
static NTSTATUS InternalSettingsApply(PortExtension* Port, const SERIAL_BASIC_SETTINGS* New,
                                      SERIAL_BASIC_SETTINGS* Old) {
  const BOOLEAN Passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
  if (Passive) {
    SettingsLockAcquire(Port);
  }
  const BOOLEAN Acquired = !OwnedSpinLockHeldHere(&Port->ControlLock);
  if (Acquired) {
    AcquireOwnedSpinLock(&Port->ControlLock);
  }
  if (Old != NULL) {
    RtlZeroMemory(Old, sizeof(*Old));
    Old->Timeouts = Port->Timeouts;
    Old->HandFlow = Port->Handflow;
    Old->RxFifo = BASIC_RX_FIFO;
    Old->TxFifo = BASIC_TX_FIFO;
  }
  Port->Timeouts = New->Timeouts;
  Port->Handflow = New->HandFlow;
  ConfigFromHandflow(&Port->Handflow, &Port->Config);
  PortConfigBlock Block = Port->Config;
  if (Acquired) {
    ReleaseOwnedSpinLock(&Port->ControlLock);
  }
  NTSTATUS Status = CommandIssue(Port->Adapter, COMMAND_SET_CONFIGURATION, &Block, sizeof(Block));
  if (Passive) {
    SettingsLockRelease(Port);
  }
  return Status;
}

NTSTATUS NTAPI DispatchInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtensionHeader* Header = (DeviceExtensionHeader*)DeviceObject->DeviceExtension;
  if (Header->IsAdapter) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    CompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  PortExtension* Port = (PortExtension*)Header;
  NTSTATUS Status = FailIfErrorAbort(DeviceObject, Irp);
  if (Status != STATUS_SUCCESS) {
    return Status;  // completed there
  }
  Irp->IoStatus.Information = 0;

  SERIAL_BASIC_SETTINGS Settings;
  switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS: {
      if (!ControlOutputFits(Irp, sizeof(SERIAL_BASIC_SETTINGS))) {
        Status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      SERIAL_BASIC_SETTINGS Basic;
      RtlZeroMemory(&Basic, sizeof(Basic));
      Basic.RxFifo = BASIC_RX_FIFO;
      Basic.TxFifo = BASIC_TX_FIFO;
      Status = InternalSettingsApply(Port, &Basic, &Settings);
      ControlOutputWrite(Irp, &Settings, sizeof(Settings));
      break;
    }
    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
      if (!ControlInputRead(Irp, &Settings, sizeof(Settings))) {
        Status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      Status = InternalSettingsApply(Port, &Settings, NULL);
      break;
    default:
      // The wait-wake requests among them: the port cannot wake the system.
      Status = STATUS_INVALID_PARAMETER;
      break;
  }
  Irp->IoStatus.Status = Status;
  CompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}
