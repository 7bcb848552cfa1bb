// Internal serial requests from drivers layered on a port.
#pragma once

#include "core/records.h"

// IRP_MJ_INTERNAL_DEVICE_CONTROL entry for both device roles.
NTSTATUS NTAPI DispatchInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
