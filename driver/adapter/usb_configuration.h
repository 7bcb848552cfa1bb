// Selecting the adapter's configuration, handing out its pipes, and unconfiguring it.
// PASSIVE_LEVEL.
#pragma once

#include "core/records.h"

// Selects the configuration's first interface with every pipe at MaximumTransferSize. With
// the firmware running, keeps the interface information and hands the pipes out by position:
// 2i and 2i + 1 to port i + 1 (bulk in, bulk out), then the response (bulk in) and command
// (bulk out) pipes. An interface with fewer pipes, or pipes of another type or direction,
// fails with STATUS_DEVICE_DATA_ERROR and assigns nothing.
NTSTATUS AdapterSelectConfiguration(AdapterExtension* Adapter, PUSB_CONFIGURATION_DESCRIPTOR Configuration);

// Returns the device to the unconfigured state: every pipe closes. The pipe entries stay
// where they are, so a request that still reaches one is refused by the bus driver.
NTSTATUS AdapterUnconfigure(AdapterExtension* Adapter);
