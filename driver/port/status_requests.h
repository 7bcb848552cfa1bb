// The port's status, properties and statistics, as the serial control requests report them,
// and the escape character. PASSIVE_LEVEL; non-pageable: they hold spin locks.
#pragma once

#include "core/records.h"

// Return the request's status and set its Information; the caller completes the request.
NTSTATUS PortGetCommStatus(PortExtension* Port, PIRP Irp);
NTSTATUS PortGetProperties(PortExtension* Port, PIRP Irp);
NTSTATUS PortGetStats(PortExtension* Port, PIRP Irp);
NTSTATUS PortClearStats(PortExtension* Port);
NTSTATUS PortLsrMstInsert(PortExtension* Port, PIRP Irp);
NTSTATUS PortGetConfigSize(PIRP Irp);
