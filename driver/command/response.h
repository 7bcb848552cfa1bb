// The adapter's response loop: one 64-byte bulk IN read posted on the response pipe while any
// port is open, and the decoding of each block into command completions, status replies and
// modem and line events. Non-pageable: the completion runs at DISPATCH_LEVEL.
#pragma once

#include "command/protocol.h"
#include "core/records.h"

// Posts the response read. Does nothing (STATUS_SUCCESS) while a read is already posted:
// every read uses the adapter's one URB and buffer. STATUS_DELETE_PENDING once the adapter
// is removed or the channel stopped; STATUS_INVALID_DEVICE_STATE before the adapter's start
// has set up the pipe, URB and buffer; STATUS_INSUFFICIENT_RESOURCES without memory, and then
// the next command restarts the loop; otherwise what IoCallDriver returned. The caller must
// not hold AdapterLock (the read goes down with it released).
NTSTATUS ResponseReadStart(AdapterExtension* Adapter);

NTSTATUS NTAPI ResponseReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Decodes the block in ResponseBuffer; AdapterLock held. Returns the response code of a block
// long enough for its layout, or 0 for a block that was too short and was ignored.
UCHAR ResponseDispatch(AdapterExtension* Adapter);

// The port's modem and line status changes (Status bytes 2 and 3) turned into wait events,
// error flags and counters. AdapterLock held. They return the status byte processed.
UCHAR ModemStatusUpdate(PortExtension* Port);
UCHAR LineStatusUpdate(PortExtension* Port);

// The delivery rule every event source follows: adds the events the port's WaitMask asks
// for to EventHistory and, when a wait is armed, hands the history to CommWaitDpc. Takes
// WaitStateLock itself, so the caller must not hold it. IRQL <= DISPATCH_LEVEL.
VOID PortDeliverEvents(PortExtension* Port, ULONG Events);

// Queues one of the port's DPCs (no system arguments) and counts it in DpcPendingCount; the
// count is taken back when the DPC was already queued. TRUE when it was inserted.
BOOLEAN PortQueueDpc(PKDPC Dpc, PortExtension* Port);
