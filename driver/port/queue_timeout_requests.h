// The port's timeouts and the size of its receive buffer, as the serial control requests set
// and report them. PASSIVE_LEVEL; non-pageable: they hold spin locks.
#pragma once

#include "core/records.h"

// Return the request's status and set its Information; the caller completes the request.
NTSTATUS PortSetTimeouts(PortExtension* Port, PIRP Irp);
NTSTATUS PortGetTimeouts(PortExtension* Port, PIRP Irp);

// IOCTL_SERIAL_SET_QUEUE_SIZE, completed (no boost) or queued here; returns its status. The
// buffer never shrinks: a size it already has succeeds at once, as does any size on a port
// that is not open. A larger one gets a new buffer charged to the caller's quota, which
// travels with the request through the read queue and is installed in order with the reads.
NTSTATUS PortSetQueueSize(PortExtension* Port, PIRP Irp);
