// Wait on mask: the wait state of a port and the completion of its waiting request.
#pragma once

#include "core/records.h"

// Completes WaitIrp once an event source or the mask starter has handed it a result.
// Context: the port. Queued with PortQueueDpc, so it gives back one DpcPendingCount.
VOID NTAPI CommWaitDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
