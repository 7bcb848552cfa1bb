// Plug-and-play life of a port device (the bottom of its own stack).
#pragma once

#include "core/records.h"

NTSTATUS PortDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack, PortExtension* Port);
