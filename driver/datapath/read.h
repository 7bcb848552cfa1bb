// Read requests of a port.
#pragma once

#include "core/records.h"

NTSTATUS PortRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
