// Plug-and-play life of the adapter device.
#pragma once

#include "core/records.h"

NTSTATUS AdapterDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                            AdapterExtension* Adapter);
