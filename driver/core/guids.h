// The device-interface and bus-type GUIDs the driver hands to the system.
#pragma once

#include "platform/platform.h"

// The adapter's own interface; also the bus type its ports report.
extern const GUID GUID_ADAPTER_INTERFACE;
// The system's COM-port interface class, under which every port is registered.
extern const GUID ComPortInterfaceGuid;
