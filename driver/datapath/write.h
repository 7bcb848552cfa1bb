// Write requests of a port.
#pragma once

#include "core/records.h"

NTSTATUS PortWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
