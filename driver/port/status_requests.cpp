// Status, properties and statistics of a port. The counters and the error flags are changed
// by the receive, write and event paths with interlocked operations, under different locks,
// so they are read and cleared the same way: no count or error is lost between a read and
// its clear.
#include "port/status_requests.h"

#include "core/helpers.h"
#include "port/control_request.h"

static ULONG InterlockedRead(ULONG volatile* Value) {
  return (ULONG)InterlockedCompareExchange((LONG volatile*)Value, 0, 0);
}

NTSTATUS PortGetCommStatus(PortExtension* Port, PIRP Irp) {
  if (!ControlOutputFits(Irp, sizeof(SERIAL_STATUS))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  SERIAL_STATUS Status;
  RtlZeroMemory(&Status, sizeof(Status));
  Status.Errors = (ULONG)InterlockedExchange((LONG volatile*)&Port->ErrorFlags, 0);

  // The receive count on its own: the read starter takes the cancel spin lock inside
  // ReceiveLock, so nothing here nests ReceiveLock in it.
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  Status.AmountInInQueue = Port->ReceiveBufferCount;
  ReleaseOwnedSpinLock(&Port->ReceiveLock);

  // Queued characters are counted under the cancel spin lock, the write's progress under
  // WriteLock, taken inside it as the take-back steps do.
  KIRQL CancelIrql;
  IoAcquireCancelSpinLock(&CancelIrql);
  AcquireOwnedSpinLock(&Port->WriteLock);
  ULONG OutQueue = Port->QueuedCharCount;
  if (Port->WriteRemaining != 0 && Port->CurrentWrite != NULL) {
    ULONG Length = IoGetCurrentIrpStackLocation(Port->CurrentWrite)->Parameters.Write.Length;
    OutQueue -= Length - Port->WriteRemaining;
  }
  Status.AmountInOutQueue = OutQueue;
  Status.WaitForImmediate = Port->ImmediatePending;
  ReleaseOwnedSpinLock(&Port->WriteLock);
  IoReleaseCancelSpinLock(CancelIrql);

  ControlOutputWrite(Irp, &Status, sizeof(Status));
  return STATUS_SUCCESS;
}

VOID PropertiesFill(PortExtension* Port, SERIAL_COMMPROP* Out) {
  SERIAL_COMMPROP Properties;
  RtlZeroMemory(&Properties, sizeof(Properties));
  Properties.PacketLength = sizeof(SERIAL_COMMPROP);
  Properties.PacketVersion = 2;
  Properties.ServiceMask = SERIAL_SP_SERIALCOMM;
  Properties.MaxBaud = SERIAL_BAUD_USER;
  Properties.ProvSubType = SERIAL_SP_RS232;
  Properties.ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_PARITY_CHECK |
                                SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                SERIAL_PCF_INTTIMEOUTS;
  Properties.SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                              SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
  Properties.SettableBaud = Port->SettableBaud;
  Properties.SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
  Properties.SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                                  SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  Properties.CurrentRxQueue = Port->ReceiveBufferSize;
  ReleaseOwnedSpinLock(&Port->ReceiveLock);
  *Out = Properties;
}

NTSTATUS PortGetProperties(PortExtension* Port, PIRP Irp) {
  if (!ControlOutputFits(Irp, sizeof(SERIAL_COMMPROP))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  SERIAL_COMMPROP Properties;
  PropertiesFill(Port, &Properties);
  ControlOutputWrite(Irp, &Properties, sizeof(Properties));
  return STATUS_SUCCESS;
}

NTSTATUS PortGetStats(PortExtension* Port, PIRP Irp) {
  if (!ControlOutputFits(Irp, sizeof(SERIALPERF_STATS))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  SERIALPERF_STATS Stats;
  RtlZeroMemory(&Stats, sizeof(Stats));
  Stats.ReceivedCount = InterlockedRead(&Port->PerfStats.ReceivedCount);
  Stats.TransmittedCount = InterlockedRead(&Port->PerfStats.TransmittedCount);
  Stats.FrameErrorCount = InterlockedRead(&Port->PerfStats.FrameErrorCount);
  Stats.SerialOverrunErrorCount = InterlockedRead(&Port->PerfStats.SerialOverrunErrorCount);
  Stats.BufferOverrunErrorCount = InterlockedRead(&Port->PerfStats.BufferOverrunErrorCount);
  Stats.ParityErrorCount = InterlockedRead(&Port->PerfStats.ParityErrorCount);
  ControlOutputWrite(Irp, &Stats, sizeof(Stats));
  return STATUS_SUCCESS;
}

// Each counter is zeroed with an interlocked exchange, so an increment racing the clear is
// either before it (cleared) or after it (kept), never undone.
NTSTATUS PortClearStats(PortExtension* Port) {
  ULONG volatile* Counters[] = {
      &Port->PerfStats.ReceivedCount,           &Port->PerfStats.TransmittedCount,
      &Port->PerfStats.FrameErrorCount,         &Port->PerfStats.SerialOverrunErrorCount,
      &Port->PerfStats.BufferOverrunErrorCount, &Port->PerfStats.ParityErrorCount,
      &Port->WmiPerfData.ReceivedCount,         &Port->WmiPerfData.TransmittedCount,
      &Port->WmiPerfData.FrameErrorCount,       &Port->WmiPerfData.SerialOverrunErrorCount,
      &Port->WmiPerfData.BufferOverrunErrorCount, &Port->WmiPerfData.ParityErrorCount,
  };
  for (ULONG i = 0; i < sizeof(Counters) / sizeof(Counters[0]); i++) {
    InterlockedExchange((LONG volatile*)Counters[i], 0);
  }
  return STATUS_SUCCESS;
}

// The receive path inserts no escape sequences; the character is kept for the application.
NTSTATUS PortLsrMstInsert(PortExtension* Port, PIRP Irp) {
  UCHAR Escape;
  if (!ControlInputRead(Irp, &Escape, sizeof(Escape))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  NTSTATUS Status = STATUS_SUCCESS;
  AcquireOwnedSpinLock(&Port->ControlLock);
  if (Escape != 0 && (Escape == Port->SpecialChars.XonChar || Escape == Port->SpecialChars.XoffChar ||
                      (Port->Handflow.FlowReplace & SERIAL_ERROR_CHAR) != 0)) {
    Status = STATUS_INVALID_PARAMETER;
  } else {
    Port->EscapeChar = Escape;
  }
  ReleaseOwnedSpinLock(&Port->ControlLock);
  return Status;
}

NTSTATUS PortGetConfigSize(PIRP Irp) {
  if (!ControlOutputFits(Irp, sizeof(ULONG))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  ULONG None = 0;
  ControlOutputWrite(Irp, &None, sizeof(None));
  return STATUS_SUCCESS;
}
