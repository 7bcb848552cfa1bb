// The line settings of a port as the serial control requests set and report them: baud rate,
// line control, handshake and flow control, special characters, the DTR, RTS and break
// outputs and the modem status. What the adapter applies travels in the port's configuration
// block (command 3) or as commands 4, 5 and 6; the driver keeps no copy of DTR, RTS or break.
//
// Each request routine returns the request's status and sets its Information; the caller
// completes it. PASSIVE_LEVEL: the set requests wait for the adapter's answer. Non-pageable:
// they hold spin locks.
#pragma once

#include "core/records.h"

NTSTATUS PortSetBaudRate(PortExtension* Port, PIRP Irp);
NTSTATUS PortGetBaudRate(PortExtension* Port, PIRP Irp);
NTSTATUS PortSetLineControl(PortExtension* Port, PIRP Irp);
NTSTATUS PortGetLineControl(PortExtension* Port, PIRP Irp);
NTSTATUS PortSetHandflow(PortExtension* Port, PIRP Irp);
NTSTATUS PortGetHandflow(PortExtension* Port, PIRP Irp);
NTSTATUS PortSetChars(PortExtension* Port, PIRP Irp);
NTSTATUS PortGetChars(PortExtension* Port, PIRP Irp);
NTSTATUS PortGetModemStatus(PortExtension* Port, PIRP Irp);

// Commands 5, 4 and 6. Raising or dropping RTS is refused (STATUS_INVALID_PARAMETER, nothing
// sent) while RTS handshake or transmit toggle owns the line.
NTSTATUS PortSetDtr(PortExtension* Port, BOOLEAN On);
NTSTATUS PortSetRts(PortExtension* Port, BOOLEAN On);
NTSTATUS PortSetBreak(PortExtension* Port, BOOLEAN On);

// The rate sent to the adapter for a requested one: the fixed substitutions, the divisor of
// 460800 check, then the adapter's MAP230K and MAP460K aliases in that order. 0 when refused.
ULONG BaudRateForAdapter(const AdapterExtension* Adapter, ULONG Requested);

// The flow letter (byte 8) and the handshake byte (byte 11) of a configuration block for a
// handshake and flow control setting.
VOID ConfigFromHandflow(const SERIAL_HANDFLOW* Handflow, PortConfigBlock* Config);

// Every change of Config, Handflow or the WMI line fields, and every command that depends on
// them, happens between these two, so that the block the adapter last received is always the
// one the port reports. A synchronization event used as a lock at PASSIVE_LEVEL: a fast mutex
// would raise the IRQL and stop the pipe resets a command may need.
VOID SettingsLockAcquire(PortExtension* Port);
VOID SettingsLockRelease(PortExtension* Port);
