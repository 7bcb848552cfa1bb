// Creation of the adapter device for a USB device bound to this driver.
#pragma once

#include "core/records.h"

// The driver's AddDevice routine; does nothing for the driver's own port devices.
NTSTATUS NTAPI AdapterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
