// Power requests of the adapter and the ports.
#pragma once

#include "core/records.h"

NTSTATUS AdapterDispatchPower(AdapterExtension* Adapter, PIRP Irp);
NTSTATUS PortDispatchPower(PortExtension* Port, PIRP Irp);

// Completion callback of the device power requests the adapter asks for. Context is the
// system request that caused it, or NULL for a power-up the worker asks for again.
VOID NTAPI AdapterPowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                       PVOID Context, PIO_STATUS_BLOCK IoStatus);
