// A port's set-up at every adapter start, and what an adapter stop and restart do with a
// port whose handle stays open across them. PASSIVE_LEVEL.
#pragma once

#include "core/records.h"

// The port's transfer URBs and 64-byte buffers (allocated at its first start, kept after)
// and, for a port not open, the default settings. FALSE when a buffer is missing.
BOOLEAN PortInitialize(PortExtension* Port);

// Adapter stop: the port's requests are cancelled and its transfers cancelled and awaited;
// an open port keeps its ring, settings and handle, with its receive and write paths idle.
VOID PortSuspend(PortExtension* Port);

// After a restart, for a port still open: its paths run again, the open (command 1) and its
// settings (command 3) are sent again and the data read is posted.
VOID PortResume(PortExtension* Port);

// Whether a handle is open on the port (its receive ring exists from open to close).
BOOLEAN PortHasOpenHandle(PortExtension* Port);
