// Serial control requests (IRP_MJ_DEVICE_CONTROL) of a port.
#pragma once

#include "core/records.h"

NTSTATUS PortDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
