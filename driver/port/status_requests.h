// The port's status, properties and statistics, as the serial control requests report them,
// and the escape character. PASSIVE_LEVEL; non-pageable: they hold spin locks.
#pragma once

#include "core/records.h"

// Return the request's status and set its Information; the caller completes the request.
NTSTATUS PortGetCommStatus(PortExtension* Port, PIRP Irp);
NTSTATUS PortGetProperties(PortExtension* Port, PIRP Irp);
// The port's properties as IOCTL_SERIAL_GET_PROPERTIES returns them (WMI reads them too).
VOID PropertiesFill(PortExtension* Port, SERIAL_COMMPROP* Out);
NTSTATUS PortGetStats(PortExtension* Port, PIRP Irp);
NTSTATUS PortClearStats(PortExtension* Port);
NTSTATUS PortLsrMstInsert(PortExtension* Port, PIRP Irp);
NTSTATUS PortGetConfigSize(PIRP Irp);
