// The USB side of an adapter's start, after the lower drivers have started the device.
#pragma once

#include "core/records.h"

// Reads the device descriptor; with the firmware running, creates the ports still missing
// (first start), selects the configuration, hands the pipes out, prepares the command
// channel and every port, and resumes the ports left open across a stop. Without firmware
// only the configuration is selected. PASSIVE_LEVEL.
NTSTATUS AdapterStartDevice(AdapterExtension* Adapter);
