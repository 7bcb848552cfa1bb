// The adapter's command channel: a FIFO of command blocks shared by the four ports, sent one
// bulk OUT transfer at a time on the command pipe, and the issuer's bounded wait for the
// firmware's answer. Non-pageable: the completion runs at DISPATCH_LEVEL.
#pragma once

#include "command/protocol.h"
#include "core/records.h"

// One queued command block. Owned by the adapter's CommandQueue from the moment it is queued
// until its transfer completes. Header and bytes are one non-paged allocation (tag BR11).
struct CommandMessage {
  LIST_ENTRY Link;
  ULONG Length;    // payload length + 1
  UCHAR Bytes[1];  // Length bytes: code, then payload
};

// Every wait for the adapter's answer: 1 s, relative, in 100-ns units.
#define COMMAND_WAIT_TIMEOUT (-10000000LL)

// The one way to send a command. Payload byte 0 is the port number (1..PortCount). Runs
// below DISPATCH_LEVEL (at DISPATCH_LEVEL it queues but neither waits nor recovers pipes).
// Returns STATUS_SUCCESS once the command is queued and answered or its wait timed out, and
// also when nothing is sent because the port was surprise-removed or the channel stopped;
// STATUS_INVALID_PARAMETER for a payload that names no port of the adapter or does not fit
// one block; STATUS_INSUFFICIENT_RESOURCES when no message could be allocated.
NTSTATUS CommandIssue(AdapterExtension* Adapter, UCHAR Code, const VOID* Payload, ULONG PayloadLength);

// A message holding the code and a copy of the payload; NULL when the pool is exhausted.
CommandMessage* CommandAllocate(UCHAR Code, const VOID* Payload, ULONG PayloadLength);

// Sends the head of the queue unless a transfer is in flight (STATUS_PENDING) or the queue
// is empty (STATUS_SUCCESS); otherwise returns what IoCallDriver returned. The caller must
// not hold AdapterLock: it is taken to claim the message and released before the request
// goes down.
NTSTATUS CommandSendNext(AdapterExtension* Adapter);

// Prepares the head message's transfer and returns its request in *Irp for the caller to
// send once it has released the lock (NULL, and STATUS_INSUFFICIENT_RESOURCES, when it could
// not be allocated). AdapterLock held, CommandBusy set by the caller.
NTSTATUS CommandSubmit(AdapterExtension* Adapter, PIRP* Irp);

NTSTATUS NTAPI CommandSendComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// The command and response transfers go through these three, under AdapterLock; the caller
// sends the request with IoCallDriver after releasing it.
// A request with a stack location of the adapter's own and an MDL over the non-paged Buffer;
// NULL when either could not be allocated.
PIRP CommandChannelTransferAllocate(AdapterExtension* Adapter, PVOID Buffer, ULONG Length);
// Builds the bulk transfer of the request's MDL on Pipe into Urb and records the request in
// *Slot (CommandIrp or ResponseIrp); CompletionRoutine gets the adapter as its context.
VOID CommandChannelTransferPrepare(AdapterExtension* Adapter, PIRP Irp, PIRP* Slot, PURB Urb, USBD_PIPE_HANDLE Pipe,
                                   ULONG Length, ULONG TransferFlags, PIO_COMPLETION_ROUTINE CompletionRoutine);
// First step of each completion routine: frees the request and its MDL and clears *Slot if it
// still names the request. TRUE when both the request and its URB succeeded.
BOOLEAN CommandChannelTransferEnd(PIRP Irp, PURB Urb, PIRP* Slot);

// Adapter start: an empty, idle channel with no response read.
VOID CommandChannelInitialize(AdapterExtension* Adapter);

// Adapter stop and remove, at PASSIVE_LEVEL, before the channel's URBs and buffer are
// released: no further command is queued, sent or read; the transfers in flight are
// cancelled (the channel's pipes aborted) and their completions awaited (without limit: the bus driver owns their URBs
// until then); the messages still queued are freed. Only CommandChannelInitialize
// (the next start) opens the channel again.
VOID CommandChannelStop(AdapterExtension* Adapter);

// AdapterLock for code that may run on the thread that already holds it: a routine both
// locked and unlocked callers use. The owned spin lock's repeated acquire is a no-op and its
// first release frees it, so such code must release only what it acquired itself.
BOOLEAN AdapterLockEnter(AdapterExtension* Adapter);
VOID AdapterLockLeave(AdapterExtension* Adapter, BOOLEAN Acquired);
