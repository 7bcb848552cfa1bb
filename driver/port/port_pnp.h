// Plug-and-play life of a port device (the bottom of its own stack).
#pragma once

#include "core/records.h"

NTSTATUS PortDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, PortExtension* Port);

// The port's hardware is gone: no command goes to it any more, and every port of the adapter
// that waits for SERIAL_EV_EVENT1 hears of it. Returns STATUS_SUCCESS. IRQL <= DISPATCH_LEVEL;
// non-pageable.
NTSTATUS PortSurpriseRemoval(PortExtension* Port);

// Takes the port out of its adapter's Ports table, under AdapterLock, so that the event path
// and surprise removal can no longer reach it. Called before the port's device is deleted.
VOID PortDetachFromAdapter(PortExtension* Port);

// Stops every source that could still reach the port (requests, transfers, timers, DPCs, the
// drain worker), then frees what the record holds, takes its names away and deletes its
// device. Returns STATUS_SUCCESS. PASSIVE_LEVEL, not under ChildListMutex.
NTSTATUS PortDeleteDevice(PDEVICE_OBJECT DeviceObject, PortExtension* Port);

// Sends IRP_MN_QUERY_CAPABILITIES to the top of Target's stack and waits. PASSIVE_LEVEL.
NTSTATUS QueryParentCapabilities(PDEVICE_OBJECT Target, PDEVICE_CAPABILITIES Caps);
