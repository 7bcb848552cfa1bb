// WMI requests: the serial data blocks of each port.
#pragma once

#include "core/records.h"

// IRP_MJ_SYSTEM_CONTROL entry for both device roles.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
