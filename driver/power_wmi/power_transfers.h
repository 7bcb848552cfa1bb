// The adapter's transfers across a device power change: held before the device goes below
// D0 (the bus would cancel them, and fail new ones), started again once it is back, with
// the application's requests kept queued in between. Non-pageable; PASSIVE_LEVEL where said.
#pragma once

#include "core/records.h"

// Serialises holding, resuming and the plug-and-play quiesce. PASSIVE_LEVEL.
VOID PowerTransferLockAcquire(AdapterExtension* Adapter);
VOID PowerTransferLockRelease(AdapterExtension* Adapter);

// Before a power-down is passed on: the command channel and every port's data transfers
// are stopped and awaited; nothing starts again until the resume. PASSIVE_LEVEL.
VOID AdapterHoldTransfers(AdapterExtension* Adapter);

// Plug and play takes over a held adapter (stop, surprise removal, removal): the hold is
// forgotten, so that a restart starts everything as after any stop. PowerTransferLock held.
VOID AdapterForgetHold(AdapterExtension* Adapter);

// Leaves work (POWER_WORK_ bits) to the adapter's power worker thread; any IRQL up to
// DISPATCH_LEVEL. The worker holds a pending-I/O count, so removal waits for it.
VOID AdapterQueuePowerWork(AdapterExtension* Adapter, ULONG Work);
