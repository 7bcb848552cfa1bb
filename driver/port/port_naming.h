// The port's names: the COM name read from its device key, the "\DosDevices\" link to the
// kernel device name, the serial device-map value and the COM-port interface.
#pragma once

#include "core/records.h"

// Longest COM name taken from the registry, in characters.
#define PORT_NAME_MAX_CHARS 32

// Creates the names at START; a port whose names exist from an earlier start keeps them.
// A "PortName" value that is missing (STATUS_OBJECT_NAME_NOT_FOUND) or malformed
// (STATUS_OBJECT_NAME_INVALID) fails with nothing created. PASSIVE_LEVEL.
NTSTATUS PortCreateNames(PortExtension* Port);

// Takes away what PortCreateNames created. PASSIVE_LEVEL.
VOID PortRemoveNames(PortExtension* Port);

// Reads one value of an open key into Data (at most DataCapacity bytes) and gives its type
// and length. A value longer than DataCapacity is not copied: STATUS_BUFFER_OVERFLOW.
// PASSIVE_LEVEL.
NTSTATUS QueryKeyValueData(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PVOID Data, ULONG DataCapacity,
                           PULONG Type, PULONG DataLength);
