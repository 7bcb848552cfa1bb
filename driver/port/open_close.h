// Open, close and cleanup of a port.
#pragma once

#include "core/records.h"

NTSTATUS PortCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PortClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PortCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
