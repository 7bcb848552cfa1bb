// IOCTL_SERIAL_PURGE: abandoning pending reads and writes and throwing away buffered data, on
// the host and in the adapter. Served through the purge queue in the caller's thread at
// PASSIVE_LEVEL, because the adapter's purge command waits for its answer.
#pragma once

#include "core/records.h"

// Validates the mask and starts or queues the request; returns its status (completed here,
// no boost, when refused).
NTSTATUS PortPurge(PortExtension* Port, PIRP Irp);

// The purge kind's starter.
NTSTATUS PortStartPurge(PortExtension* Port);
