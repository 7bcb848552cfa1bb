// Read requests of a port and their timeouts. Non-pageable: DPCs and the cancel routine end
// reads at DISPATCH_LEVEL.
#pragma once

#include "core/records.h"

NTSTATUS PortRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The read kind's starter: serves reads and the queue-size requests waiting among them.
NTSTATUS PortStartRead(PortExtension* Port);

VOID NTAPI ReadCompleteDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI ReadTotalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI ReadIntervalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
