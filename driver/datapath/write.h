// Write requests of a port, their timeout, and the port's one data OUT transfer, which also
// carries the immediate character. Non-pageable except where said.
#pragma once

#include "core/records.h"

#define WRITE_CHUNK_SIZE 64

NTSTATUS PortWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The write kind's starter.
NTSTATUS PortStartWrite(PortExtension* Port);

// WriteLock held, no transfer in flight. Prepares the next transfer (the pending immediate
// character first, else the current write's next chunk of at most 64 bytes) and returns its
// request in *ToSend for DataTransferSend once every lock is released; *ToSend stays NULL
// when there is nothing to send or no request or MDL could be had.
NTSTATUS DataWriteSend(PortExtension* Port, PIRP* ToSend);
// Sends a request DataWriteSend prepared; no lock of the driver held.
VOID DataTransferSend(PortExtension* Port, PIRP Irp);

NTSTATUS NTAPI DataWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

VOID NTAPI WriteCompleteDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI WriteTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
// Work routine of WriteDrainWorkItem: drops RTS after a transmit-toggle write, then
// finishes the write. PASSIVE_LEVEL.
VOID NTAPI WriteDrainWorker(PVOID Parameter);

// The next-request step of the write kind: a write leaving CurrentWrite takes its length
// back from QueuedCharCount.
VOID TakeNextWrite(PIRP* Current, PLIST_ENTRY Queue, PIRP* Next, BOOLEAN CompleteCurrent);

// Port close: the transfer in flight is cancelled and awaited, and an immediate character
// that can no longer be sent ends its request. PASSIVE_LEVEL.
VOID WriteStopForClose(PortExtension* Port);
