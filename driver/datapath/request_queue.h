// The request queues of a port and the rules every request kind follows: a request becomes
// current or waits, pending, in its kind's first-in first-out queue; the current request is
// kept alive by its RequestRef bits (datapath/request_ref.h) and completed exactly once, by
// whoever drops its last reference; then the next one of its kind is started.
//
// Kinds: read (ReadQueue, CurrentRead), write (WriteQueue, CurrentWrite), mask (MaskQueue,
// CurrentMask), purge (PurgeQueue, CurrentPurge); WaitIrp and ImmediateIrp are current slots
// without a queue. The system cancel spin lock guards every queue, current field, cancel
// routine, RequestRef word and QueuedCharCount.
//
// Boosts: a request completed at once in its dispatch routine gets IO_NO_INCREMENT; one
// completed after waiting (DPC, timer, cancel routine, a later starter) gets
// IO_SERIAL_INCREMENT. A cancelled request reports information 0.
//
// Every routine is non-pageable and callable at DISPATCH_LEVEL or below, except where said.
#pragma once

#include "core/records.h"

// The kind's starter: serves the requests that become current, one after another, following
// the starter pattern (RequestRef reset; under the cancel spin lock either finish a request
// found cancelled or install the kind's cancel routine and arm timers with their bits;
// finish at once what needs no waiting; return the first request's status).
typedef NTSTATUS PORT_START_ROUTINE(PortExtension* Port);
typedef PORT_START_ROUTINE* PPORT_START_ROUTINE;

// Takes the current request back from the data path (clearing REF_DATA_PATH if the data path
// still held it). Runs inside FinishCurrentRequest with the cancel spin lock held; it may
// take the path's own lock inside it. Returns FALSE.
typedef BOOLEAN PORT_TAKE_BACK_ROUTINE(PortExtension* Port);
typedef PORT_TAKE_BACK_ROUTINE* PPORT_TAKE_BACK_ROUTINE;

// The kind's next-request step: TakeNextRequest, or a wrapper of it (TakeNextWrite).
typedef VOID PORT_TAKE_NEXT_ROUTINE(PIRP* Current, PLIST_ENTRY Queue, PIRP* Next, BOOLEAN CompleteCurrent);
typedef PORT_TAKE_NEXT_ROUTINE* PPORT_TAKE_NEXT_ROUTINE;

// Makes the request current and returns the starter's result; or queues it (marked
// pending, cancel routine CancelQueuedRequest) and returns STATUS_PENDING; or, if it arrives
// already cancelled behind others, completes it at once with STATUS_CANCELLED. A write's
// length is counted in QueuedCharCount on entry (not for one completed at once). A write
// that becomes current while the port's previous data transfer is still in flight first
// cancels that transfer, waits for it and resets the data OUT pipe: writes therefore enter
// at PASSIVE_LEVEL. (A write that becomes current through the next-request step instead waits
// for such a transfer: its first chunk goes out from that transfer's completion.)
NTSTATUS StartOrQueueRequest(PortExtension* Port, PIRP Irp, PLIST_ENTRY Queue, PIRP* Current,
                             PPORT_START_ROUTINE Starter);

// The one place where a current request is completed. Entered holding the cancel spin lock,
// acquired at CancelIrql; always releases it. Drops RefBit, runs TakeBack, drops the cancel
// routine's and the timers' references where they can still be taken back (a timer whose
// DPC is already queued keeps its reference, and that DPC finishes the request). If any
// reference remains the request stays current. Otherwise it gets Status (information 0 when
// cancelled) and is completed with IO_SERIAL_INCREMENT, through TakeNext when given (which
// makes the next request current; Starter is then called for it), else directly, leaving
// *Current empty. TakeBack, Queue, the timers, Starter and TakeNext may each be NULL.
VOID FinishCurrentRequest(PortExtension* Port, PPORT_TAKE_BACK_ROUTINE TakeBack, KIRQL CancelIrql, NTSTATUS Status,
                          PIRP* Current, PLIST_ENTRY Queue, PKTIMER IntervalTimer, PKTIMER TotalTimer,
                          PPORT_START_ROUTINE Starter, PPORT_TAKE_NEXT_ROUTINE TakeNext, ULONG RefBit);

// Cancel spin lock held. Removes the request's cancel routine and cancels the given timers,
// dropping the reference of each one taken back.
VOID ReleaseRequestReferences(PortExtension* Port, PIRP Current, PKTIMER IntervalTimer, PKTIMER TotalTimer);

// Makes the head of Queue current (removing its cancel routine), or leaves *Current empty;
// *Next receives the new current request or NULL. With CompleteCurrent, the old current
// request, whose status the caller has set, is then completed with IO_SERIAL_INCREMENT.
// Takes the cancel spin lock itself. Queue may be NULL (a kind without a queue).
VOID TakeNextRequest(PIRP* Current, PLIST_ENTRY Queue, PIRP* Next, BOOLEAN CompleteCurrent);

// The same step for a caller that holds the cancel spin lock and completes nothing: the
// head of Queue (its cancel routine removed) or NULL becomes *Current and is returned.
PIRP MakeNextRequestCurrent(PIRP* Current, PLIST_ENTRY Queue);

// What a request that is cancelled instead of served gives back, cancel spin lock held: a
// write's length leaves QueuedCharCount; a queue-size request's new buffer is freed.
VOID QueuedRequestRelease(PortExtension* Port, PIRP Irp);

// Cancel routine of every waiting request: STATUS_CANCELLED, information 0, boost 2. A
// write's length leaves QueuedCharCount; a queue-size request's new buffer is freed.
VOID NTAPI CancelQueuedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Cleanup and purge: cancels the waiting requests newest first, then the current one: its
// Cancel flag is set, and its cancel routine, if it has one, is called; without one it
// finishes by its own path and its starter sees the flag. Queue may be NULL.
VOID CancelAllRequests(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP* Current);

// Called first by the read, write, device-control and internal device-control handlers.
// While SERIAL_ERROR_ABORT is set in the handshake and an error is pending, completes the
// request at once with STATUS_CANCELLED (information 0, no boost) and returns
// STATUS_CANCELLED; IOCTL_SERIAL_GET_COMMSTATUS, which clears the errors, still passes.
// Otherwise returns STATUS_SUCCESS and the caller goes on.
NTSTATUS FailIfErrorAbort(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---- Cancelling a USB transfer and waiting for it -------------------------------------------
// CancelTransferAndWait cancels the transfer request *Transfer holds, if any, and returns once
// its completion routine has run and the field is empty. PASSIVE_LEVEL only: it waits without
// limit. It holds no lock of the driver across IoCancelIrp: the cancel routine it triggers may
// complete the transfer on this very thread, and the take-back steps hold the cancel spin lock
// while they wait for WriteLock, so a lock held across the cancel could close a cycle.
//
// Instead the canceller claims the transfer: holding the cancel spin lock and then Lock, it
// finds the request in *Transfer, sets its Cancel flag and clears *Event; it then cancels it
// and waits on *Event, and afterwards it, not the completion routine, frees the request and
// the MDLs at its MdlAddress. So the request cannot be freed between the check and the
// cancel, and a transfer that completes successfully at the moment of the cancel still ends
// the wait. Nothing else sets the Cancel flag of a request the driver built for itself.
//
// What this asks of the transfer's completion routine (DataWriteComplete for DataWriteIrp):
//   1. Acquire Lock (for DataWriteIrp: the port's WriteLock; the canceller holds no lock when
//      the completion runs inside its IoCancelIrp) and clear the field, as always.
//   2. If the request's Cancel flag is set, it is claimed: start no further transfer, do not
//      free the request or its MDL, release Lock, signal *Event and return
//      STATUS_MORE_PROCESSING_REQUIRED. Do this whatever the transfer's status: a successful
//      transfer that a canceller has claimed signals too.
//   3. Otherwise go on as usual (free the request and MDL; continue or signal on failure).
// Lock must be the lock under which the completion routine clears the field: for the data
// write that is WriteLock, not AdapterLock. Callers that cancel the data write (a write that
// becomes current, port close) use CancelDataWriteAndWait, which names the right fields.
VOID CancelTransferAndWait(PIRP* Transfer, PKEVENT Event, OwnedSpinLock* Lock);

// CancelTransferAndWait on the port's DataWriteIrp, DataWriteDoneEvent and WriteLock; with
// AbandonedOnly, only a chunk whose write was taken back is cancelled (an immediate character
// in flight is left to finish). Returns TRUE if such a transfer was in flight (the caller then
// resets the data OUT pipe).
BOOLEAN CancelDataWriteAndWait(PortExtension* Port, BOOLEAN AbandonedOnly);

// The start of every port DPC that finishes a current request: the port it was queued for,
// with the cancel spin lock held (FinishCurrentRequest releases it).
inline PortExtension* PortDpcEnter(PVOID DeferredContext, PKIRQL CancelIrql) {
  IoAcquireCancelSpinLock(CancelIrql);
  return (PortExtension*)DeferredContext;
}

// ---- Counted timers ------------------------------------------------------------------------
// Sets the timer counted in DpcPendingCount: 1 is added, and taken back if the timer was
// already set (the one DPC it will queue is already counted). Returns whether it was set.
BOOLEAN SetPortTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc, PortExtension* Port);
// Cancels a timer set with SetPortTimer and returns whether it was still set; if so its DPC
// will not run, and its count is given back here.
BOOLEAN CancelPortTimer(PKTIMER Timer, PortExtension* Port);
