// Wait on mask: the events a handle asks for, the one request that waits for them, and its
// completion. The event sources (receive, write and event paths, surprise removal) only add
// bits through PortDeliverEvents; this module owns WaitIrp and completes it.
//
// The wait state (WaitMask, EventHistory, WaitResult) is changed only under WaitStateLock,
// the innermost lock; WaitIrp, CurrentMask and the references under the cancel spin lock.
// Non-pageable: the DPC and the cancel routine run at DISPATCH_LEVEL.
#pragma once

#include "core/records.h"

// The three control requests; each completes the request itself or leaves it pending and
// returns its status. PASSIVE_LEVEL.
NTSTATUS PortGetWaitMask(PortExtension* Port, PIRP Irp);
NTSTATUS PortSetWaitMask(PortExtension* Port, PIRP Irp);
NTSTATUS PortWaitOnMask(PortExtension* Port, PIRP Irp);

// The mask kind's starter (datapath/request_queue.h).
NTSTATUS PortStartMask(PortExtension* Port);

// A new handle hears nothing of its predecessor's mask or events. Called by open, once
// cleanup has ended every wait.
VOID PortResetWaitState(PortExtension* Port);

// Completes WaitIrp once an event source has handed it a result. Context: the port. Queued
// with PortQueueDpc, so it gives back one DpcPendingCount.
VOID NTAPI CommWaitDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
