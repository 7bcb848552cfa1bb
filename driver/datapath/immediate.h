// IOCTL_SERIAL_IMMEDIATE_CHAR: one character sent ahead of the write in progress, at most one
// outstanding per port. Non-pageable: its DPCs and cancel routine run at DISPATCH_LEVEL.
#pragma once

#include "core/records.h"

// The request, its 1-byte input already checked: refused with STATUS_INVALID_PARAMETER while
// another is outstanding, STATUS_CANCELLED if already cancelled (both completed here, no
// boost); otherwise accepted, counted in QueuedCharCount and left pending (STATUS_PENDING).
NTSTATUS PortImmediateChar(PortExtension* Port, PIRP Irp);

// WriteLock held by the data OUT completion. The character's transfer ended with Status.
VOID ImmediateTransferEnded(PortExtension* Port, NTSTATUS Status);

VOID NTAPI ImmediateCompleteDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI ImmediateTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
