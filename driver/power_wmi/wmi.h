// WMI requests: the serial data blocks of each port.
#pragma once

#include "core/records.h"

// After each successful start of a port: the library context, and the registration if the
// port has none yet. The start does not depend on its result.
NTSTATUS PortWmiInitialize(PDEVICE_OBJECT DeviceObject);
// Before the port is deleted. Nothing if it never registered.
VOID PortWmiDeregister(PortExtension* Port);

// IRP_MJ_SYSTEM_CONTROL entry for both device roles. PASSIVE_LEVEL.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
