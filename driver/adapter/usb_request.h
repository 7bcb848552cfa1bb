// The synchronous USB requests of adapter start, stop and firmware download.
#pragma once

#include "core/records.h"

// Sends one URB to Lower (the adapter's LowerDevice) and waits for it without time-out: the
// bus driver owns the URB until it completes it, so it cannot be taken back earlier.
// STATUS_INSUFFICIENT_RESOURCES when the request cannot be built; a request the bus driver
// completed with success but whose URB reports an error gives STATUS_UNSUCCESSFUL.
// PASSIVE_LEVEL; non-pageable (the download uses it too).
NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT Lower, PURB Urb);
