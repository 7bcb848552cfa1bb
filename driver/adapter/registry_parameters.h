// The driver's parameters, read once per adapter at its creation from a fixed key.
#pragma once

#include "core/records.h"

// Reads one REG_DWORD value of the absolute key Path into *Value, which holds the default on
// entry. A missing key or value, and a value of any other type or size, leave *Value as it
// was. TRUE when the query itself succeeded. PASSIVE_LEVEL.
BOOLEAN QueryRegistryDword(PCWSTR Path, PCWSTR Name, PULONG Value);

// MaximumTransferSize, Map230K and Map460K of a new adapter, each a default when the
// registry gives nothing usable. PASSIVE_LEVEL.
VOID AdapterReadParameters(AdapterExtension* Adapter);
