// The descriptors an adapter start reads: device, serial-number string and configuration.
// Each is untrusted input: what came back is checked before anything in it is used, and a
// descriptor that is short, of the wrong type or whose lengths disagree with what came back
// fails with STATUS_DEVICE_DATA_ERROR. PASSIVE_LEVEL.
#pragma once

#include "core/records.h"

// DeviceDescriptor (replacing an earlier start's), FirmwareRunning and PortCount.
NTSTATUS AdapterReadDeviceDescriptor(AdapterExtension* Adapter);

// SerialNumber from string descriptor 3: at most 32 characters (more is
// STATUS_INSUFFICIENT_RESOURCES); a character that cannot be part of an object name
// (anything but a letter, a digit, '-', '_' or '.') becomes '_'.
NTSTATUS AdapterGetSerialNumber(AdapterExtension* Adapter);

// ConfigurationDescriptor, read whole and checked, then selected (AdapterSelectConfiguration).
NTSTATUS AdapterReadConfiguration(AdapterExtension* Adapter);
