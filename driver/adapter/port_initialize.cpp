#include "adapter/port_initialize.h"

#include "command/command_queue.h"
#include "command/protocol.h"
#include "core/helpers.h"
#include "datapath/receive.h"
#include "datapath/request_queue.h"
#include "datapath/write.h"
#include "port/open_close.h"

#define DEFAULT_BAUD_RATE 9600
#define SETTABLE_BAUD_DEFAULT 0x1007FFFF

PAGED_ROUTINE BOOLEAN PortHasOpenHandle(PortExtension* Port) {
  PAGED_CODE();
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  BOOLEAN Open = Port->ReceiveBuffer != NULL;
  ReleaseOwnedSpinLock(&Port->ReceiveLock);
  return Open;
}

PAGED_ROUTINE static VOID PortWriteDefaults(PortExtension* Port) {
  PAGED_CODE();
  RtlZeroMemory(&Port->Config, sizeof(Port->Config));
  Port->Config.PortNumber = (UCHAR)Port->PortNumber;
  Port->Config.BaudRate = DEFAULT_BAUD_RATE;
  Port->Config.DataBits = 8;
  Port->Config.StopBits = 1;
  Port->Config.Parity = 'n';
  Port->Config.FlowControl = 'n';
  Port->Config.XoffChar = CONFIG_XOFF_CHAR;
  Port->Config.XonChar = CONFIG_XON_CHAR;
  Port->Config.Handshake = CONFIG_HANDSHAKE_INITIAL;
  Port->IsOpen = FALSE;
  Port->IntervalPollShort.QuadPart = -1;
  Port->IntervalPollLong.QuadPart = -10000000LL;
  Port->IntervalPollCutOver.QuadPart = 200000000LL;
  RtlZeroMemory(&Port->Timeouts, sizeof(Port->Timeouts));
  Port->SpecialChars.XonChar = CONFIG_XON_CHAR;
  Port->SpecialChars.XoffChar = CONFIG_XOFF_CHAR;
  Port->Handflow.ControlHandShake = SERIAL_DTR_CONTROL;
  Port->Handflow.FlowReplace = SERIAL_RTS_CONTROL;
  Port->ErrorFlags = 0;
  Port->SettableBaud = SETTABLE_BAUD_DEFAULT;
  Port->DataReadIrp = NULL;
  Port->DataWriteIrp = NULL;
  Port->ImmediatePending = FALSE;
}

PAGED_ROUTINE BOOLEAN PortInitialize(PortExtension* Port) {
  PAGED_CODE();
  if (Port->DataWriteUrb == NULL) {
    Port->DataWriteUrb =
        (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), TAG_BR29);
  }
  if (Port->DataReadUrb == NULL) {
    Port->DataReadUrb =
        (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), TAG_BR30);
  }
  if (Port->DataWriteBuffer == NULL) {
    Port->DataWriteBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, WRITE_CHUNK_SIZE, TAG_BR31);
  }
  if (Port->DataReadBuffer == NULL) {
    Port->DataReadBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, DATA_READ_SIZE, TAG_BR32);
  }
  if (Port->DataWriteUrb == NULL || Port->DataReadUrb == NULL || Port->DataWriteBuffer == NULL ||
      Port->DataReadBuffer == NULL) {
    return FALSE;
  }
  // An open port keeps what its application set; the adapter gets it again at resume.
  if (!PortHasOpenHandle(Port)) {
    PortWriteDefaults(Port);
  }
  return TRUE;
}

PAGED_ROUTINE VOID PortSuspend(PortExtension* Port) {
  PAGED_CODE();
  PortMarkClosed(Port);
  PortCancelAllRequests(Port);
  CancelAllRequests(Port->Self, NULL, &Port->ImmediateIrp);
  CancelTransferAndWait(&Port->DataReadIrp, &Port->EchoEvent, &Port->ReceiveLock);
  CancelDataWriteAndWait(Port, FALSE);
}

PAGED_ROUTINE VOID PortResume(PortExtension* Port) {
  PAGED_CODE();
  if (!PortHasOpenHandle(Port) || Port->DevicePnpState == SurpriseRemoved || Port->DevicePnpState == Deleted) {
    return;
  }
  PortMarkOpen(Port);
  UCHAR Number = (UCHAR)Port->PortNumber;
  CommandIssue(Port->Adapter, COMMAND_OPEN_PORT, &Number, sizeof(Number));
  AcquireOwnedSpinLock(&Port->ControlLock);
  PortConfigBlock Block = Port->Config;
  ReleaseOwnedSpinLock(&Port->ControlLock);
  CommandIssue(Port->Adapter, COMMAND_SET_CONFIGURATION, &Block, sizeof(Block));
  DataReadStart(Port);
}
