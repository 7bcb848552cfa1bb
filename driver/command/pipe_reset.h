// Synchronous pipe resets and aborts through the USB bus driver below the adapter. All of them run at
// PASSIVE_LEVEL and hold no lock of the driver while they wait; at a higher IRQL they reset
// nothing and return STATUS_INVALID_DEVICE_STATE.
#pragma once

#include "core/records.h"

// The port's data OUT pipe; waits without limit. Port open and the start of a write that
// follows an abandoned transfer call it; both ignore the result.
NTSTATUS DataOutPipeReset(PortExtension* Port);

// The adapter's response pipe, after a response read failed; waits at most 1 s
// (STATUS_IO_TIMEOUT). A reset still with the bus driver then stays its own: its request and
// URB are freed by its completion, never under it.
NTSTATUS ResponsePipeReset(AdapterExtension* Adapter);

// The adapter's command pipe, before a stalled command channel sends again; at most 1 s, as
// the response pipe.
NTSTATUS CommandPipeReset(AdapterExtension* Adapter);

// Both pipes of the command channel aborted: every transfer pending on them completes with
// STATUS_CANCELLED. Channel stop's way of ending its transfers without holding a lock across
// the bus driver's completions. At most 1 s each; the first failure is returned.
NTSTATUS CommandChannelPipesAbort(AdapterExtension* Adapter);
