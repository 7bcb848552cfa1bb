// Line settings requests. A set request builds the new block from a copy of the port's,
// sends it, and only then makes it the port's, all under SettingsLock: requests racing on one
// port reach the adapter in the order they change the port, and a request whose command could
// not be queued leaves both the port and the adapter as they were.
#include "port/line_settings.h"

#include "command/command_queue.h"
#include "core/helpers.h"
#include "port/control_request.h"

// The adapter's baud generator divides this clock by a whole number.
#define BAUD_CLOCK 460800

// By SERIAL_LINE_CONTROL Parity value, NO_PARITY to SPACE_PARITY.
static const UCHAR ParityLetters[] = {'n', 'o', 'e', '1', '0'};

VOID SettingsLockAcquire(PortExtension* Port) {
  KeWaitForSingleObject(&Port->SettingsLock, Executive, KernelMode, FALSE, NULL);
}

VOID SettingsLockRelease(PortExtension* Port) { KeSetEvent(&Port->SettingsLock, IO_NO_INCREMENT, FALSE); }

static PortConfigBlock ConfigSnapshot(PortExtension* Port) {
  AcquireOwnedSpinLock(&Port->ControlLock);
  PortConfigBlock Block = Port->Config;
  ReleaseOwnedSpinLock(&Port->ControlLock);
  return Block;
}

static NTSTATUS ConfigSend(PortExtension* Port, const PortConfigBlock* Block) {
  return CommandIssue(Port->Adapter, COMMAND_SET_CONFIGURATION, Block, sizeof(PortConfigBlock));
}

// The level is kept for the adapter's return from a power-down, which forgets it.
static NTSTATUS OutputCommandSend(PortExtension* Port, UCHAR Code, BOOLEAN On) {
  UCHAR Payload[2] = {(UCHAR)Port->PortNumber, (UCHAR)(On ? 1 : 0)};
  NTSTATUS Status = CommandIssue(Port->Adapter, Code, Payload, sizeof(Payload));
  if (NT_SUCCESS(Status)) {
    UCHAR Line = Code == COMMAND_SET_DTR ? OUTPUT_LINE_DTR : Code == COMMAND_SET_RTS ? OUTPUT_LINE_RTS : OUTPUT_LINE_BREAK;
    AcquireOwnedSpinLock(&Port->ControlLock);
    Port->OutputLines = (UCHAR)(On ? (Port->OutputLines | Line) : (Port->OutputLines & ~Line));
    ReleaseOwnedSpinLock(&Port->ControlLock);
  }
  return Status;
}

// ---- Baud rate ------------------------------------------------------------------------------

ULONG BaudRateForAdapter(const AdapterExtension* Adapter, ULONG Requested) {
  ULONG Rate = Requested;
  switch (Rate) {
    case 256000:
      Rate = 230400;
      break;
    case 128000:
      Rate = 115200;
      break;
    case 56000:
      Rate = 57600;
      break;
    case 110:
      Rate = 100;
      break;
    default:
      break;
  }
  if (Rate == 0 || BAUD_CLOCK % Rate != 0) {
    return 0;
  }
  // Set from the registry at adapter creation, 0 when unset; never equal to a rate here.
  if (Rate == Adapter->Map230K) {
    Rate = 230400;
  }
  if (Rate == Adapter->Map460K) {
    Rate = 460800;
  }
  return Rate;
}

NTSTATUS PortSetBaudRate(PortExtension* Port, PIRP Irp) {
  SERIAL_BAUD_RATE Requested;
  if (!ControlInputRead(Irp, &Requested, sizeof(Requested))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  ULONG Rate = BaudRateForAdapter(Port->Adapter, Requested.BaudRate);
  if (Rate == 0) {
    return STATUS_INVALID_PARAMETER;
  }

  SettingsLockAcquire(Port);
  PortConfigBlock Block = ConfigSnapshot(Port);
  Block.BaudRate = Rate;
  NTSTATUS Status = ConfigSend(Port, &Block);
  if (NT_SUCCESS(Status)) {
    AcquireOwnedSpinLock(&Port->ControlLock);
    Port->Config = Block;
    ReleaseOwnedSpinLock(&Port->ControlLock);
  }
  SettingsLockRelease(Port);
  return Status;
}

NTSTATUS PortGetBaudRate(PortExtension* Port, PIRP Irp) {
  if (!ControlOutputFits(Irp, sizeof(SERIAL_BAUD_RATE))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  SERIAL_BAUD_RATE Rate;
  AcquireOwnedSpinLock(&Port->ControlLock);
  Rate.BaudRate = Port->Config.BaudRate;
  ReleaseOwnedSpinLock(&Port->ControlLock);
  ControlOutputWrite(Irp, &Rate, sizeof(Rate));
  return STATUS_SUCCESS;
}

// ---- Line control ---------------------------------------------------------------------------

NTSTATUS PortSetLineControl(PortExtension* Port, PIRP Irp) {
  SERIAL_LINE_CONTROL Line;
  if (!ControlInputRead(Irp, &Line, sizeof(Line))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  // Every field is checked before anything is stored.
  if (Line.WordLength < 5 || Line.WordLength > 8 || Line.Parity > SPACE_PARITY) {
    return STATUS_INVALID_PARAMETER;
  }
  UCHAR StopCode;
  switch (Line.StopBits) {
    case STOP_BIT_1:
      StopCode = 1;
      break;
    case STOP_BITS_1_5:
      if (Line.WordLength != 5) {
        return STATUS_INVALID_PARAMETER;
      }
      StopCode = 2;
      break;
    case STOP_BITS_2:
      if (Line.WordLength == 5) {
        return STATUS_INVALID_PARAMETER;
      }
      StopCode = 2;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }

  SettingsLockAcquire(Port);
  PortConfigBlock Block = ConfigSnapshot(Port);
  Block.DataBits = Line.WordLength;
  Block.StopBits = StopCode;
  Block.Parity = ParityLetters[Line.Parity];
  NTSTATUS Status = ConfigSend(Port, &Block);
  if (NT_SUCCESS(Status)) {
    AcquireOwnedSpinLock(&Port->ControlLock);
    Port->Config = Block;
    ReleaseOwnedSpinLock(&Port->ControlLock);
  }
  SettingsLockRelease(Port);
  return Status;
}

NTSTATUS PortGetLineControl(PortExtension* Port, PIRP Irp) {
  if (!ControlOutputFits(Irp, sizeof(SERIAL_LINE_CONTROL))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  AcquireOwnedSpinLock(&Port->ControlLock);
  UCHAR DataBits = Port->Config.DataBits;
  UCHAR StopCode = Port->Config.StopBits;
  UCHAR Letter = Port->Config.Parity;
  ReleaseOwnedSpinLock(&Port->ControlLock);

  SERIAL_LINE_CONTROL Line;
  RtlZeroMemory(&Line, sizeof(Line));
  Line.WordLength = DataBits;
  Line.Parity = NO_PARITY;
  for (UCHAR Parity = NO_PARITY; Parity <= SPACE_PARITY; Parity++) {
    if (ParityLetters[Parity] == Letter) {
      Line.Parity = Parity;
    }
  }
  if (StopCode == 2) {
    Line.StopBits = DataBits == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
  } else {
    Line.StopBits = STOP_BIT_1;
  }
  ControlOutputWrite(Irp, &Line, sizeof(Line));
  return STATUS_SUCCESS;
}

// ---- Handshake and flow control -------------------------------------------------------------

VOID ConfigFromHandflow(const SERIAL_HANDFLOW* Handflow, PortConfigBlock* Config) {
  ULONG Flow = Handflow->FlowReplace;
  ULONG Control = Handflow->ControlHandShake;

  BOOLEAN Transmit = (Flow & SERIAL_AUTO_TRANSMIT) != 0;
  BOOLEAN Receive = (Flow & SERIAL_AUTO_RECEIVE) != 0;
  Config->FlowControl = Transmit && Receive ? 'b' : Transmit ? 't' : Receive ? 'r' : 'n';

  UCHAR Handshake = 0;
  ULONG RtsMode = Flow & SERIAL_RTS_MASK;
  if (RtsMode == SERIAL_TRANSMIT_TOGGLE) {
    // Toggle mode is the toggle bit alone: no CTS handshake goes with it.
    Handshake = CONFIG_HANDSHAKE_TOGGLE;
  } else {
    if (RtsMode == SERIAL_RTS_HANDSHAKE) {
      Handshake |= CONFIG_HANDSHAKE_RTS;
    }
    if (Control & SERIAL_CTS_HANDSHAKE) {
      Handshake |= CONFIG_HANDSHAKE_CTS;
    }
  }
  if (Control & SERIAL_DSR_HANDSHAKE) {
    Handshake |= CONFIG_HANDSHAKE_DSR;
  }
  Config->Handshake = Handshake;
}

NTSTATUS PortSetHandflow(PortExtension* Port, PIRP Irp) {
  SERIAL_HANDFLOW Handflow;
  if (!ControlInputRead(Irp, &Handflow, sizeof(Handflow))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if ((Handflow.ControlHandShake & SERIAL_CONTROL_INVALID) != 0 || (Handflow.FlowReplace & SERIAL_FLOW_INVALID) != 0) {
    return STATUS_INVALID_PARAMETER;
  }

  SettingsLockAcquire(Port);
  PortConfigBlock Block = ConfigSnapshot(Port);
  ConfigFromHandflow(&Handflow, &Block);
  NTSTATUS Status = ConfigSend(Port, &Block);
  if (NT_SUCCESS(Status)) {
    AcquireOwnedSpinLock(&Port->ControlLock);
    Port->Config = Block;
    Port->Handflow = Handflow;
    ReleaseOwnedSpinLock(&Port->ControlLock);
  }
  SettingsLockRelease(Port);
  return Status;
}

NTSTATUS PortGetHandflow(PortExtension* Port, PIRP Irp) {
  if (!ControlOutputFits(Irp, sizeof(SERIAL_HANDFLOW))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  AcquireOwnedSpinLock(&Port->ControlLock);
  SERIAL_HANDFLOW Handflow = Port->Handflow;
  ReleaseOwnedSpinLock(&Port->ControlLock);
  ControlOutputWrite(Irp, &Handflow, sizeof(Handflow));
  return STATUS_SUCCESS;
}

// ---- Special characters ---------------------------------------------------------------------
// Kept for the application only: the block carries fixed XON and XOFF characters.

NTSTATUS PortSetChars(PortExtension* Port, PIRP Irp) {
  SERIAL_CHARS Chars;
  if (!ControlInputRead(Irp, &Chars, sizeof(Chars))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  AcquireOwnedSpinLock(&Port->ControlLock);
  // The receive path reads the event character under ReceiveLock alone.
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  Port->SpecialChars = Chars;
  ReleaseOwnedSpinLock(&Port->ReceiveLock);
  ReleaseOwnedSpinLock(&Port->ControlLock);
  return STATUS_SUCCESS;
}

NTSTATUS PortGetChars(PortExtension* Port, PIRP Irp) {
  if (!ControlOutputFits(Irp, sizeof(SERIAL_CHARS))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  AcquireOwnedSpinLock(&Port->ControlLock);
  SERIAL_CHARS Chars = Port->SpecialChars;
  ReleaseOwnedSpinLock(&Port->ControlLock);
  ControlOutputWrite(Irp, &Chars, sizeof(Chars));
  return STATUS_SUCCESS;
}

// ---- Modem outputs and status ---------------------------------------------------------------

NTSTATUS PortSetDtr(PortExtension* Port, BOOLEAN On) { return OutputCommandSend(Port, COMMAND_SET_DTR, On); }

NTSTATUS PortSetBreak(PortExtension* Port, BOOLEAN On) { return OutputCommandSend(Port, COMMAND_SET_BREAK, On); }

NTSTATUS PortSetRts(PortExtension* Port, BOOLEAN On) {
  // Under SettingsLock, so that no handshake change slips between the check and the command.
  SettingsLockAcquire(Port);
  AcquireOwnedSpinLock(&Port->ControlLock);
  ULONG RtsMode = Port->Handflow.FlowReplace & SERIAL_RTS_MASK;
  ReleaseOwnedSpinLock(&Port->ControlLock);
  NTSTATUS Status;
  if (RtsMode == SERIAL_RTS_HANDSHAKE || RtsMode == SERIAL_TRANSMIT_TOGGLE) {
    Status = STATUS_INVALID_PARAMETER;
  } else {
    Status = OutputCommandSend(Port, COMMAND_SET_RTS, On);
  }
  SettingsLockRelease(Port);
  return Status;
}

NTSTATUS PortGetModemStatus(PortExtension* Port, PIRP Irp) {
  if (!ControlOutputFits(Irp, sizeof(ULONG))) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  // The response loop writes the snapshot under AdapterLock.
  AdapterExtension* Adapter = Port->Adapter;
  BOOLEAN Acquired = AdapterLockEnter(Adapter);
  ULONG ModemStatus = Port->Status.ModemStatus;
  AdapterLockLeave(Adapter, Acquired);
  ControlOutputWrite(Irp, &ModemStatus, sizeof(ModemStatus));
  return STATUS_SUCCESS;
}
