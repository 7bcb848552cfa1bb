// Passing the adapter's plug-and-play requests to the USB stack below it. PASSIVE_LEVEL.
#pragma once

#include "core/records.h"

// Passes the request down and waits until the lower drivers have completed it; the request
// stays with the caller, who completes it. Returns its final status.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp);

// The same, waiting only when the lower driver returned STATUS_PENDING.
NTSTATUS ForwardAndWaitIfPending(PDEVICE_OBJECT Lower, PIRP Irp);

// Passes the request down with Status and returns what the lower driver returned; the
// request's count on the adapter is released.
NTSTATUS AdapterPassDown(AdapterExtension* Adapter, PIRP Irp, NTSTATUS Status);

// Completes the request here with Status (no boost) and releases its count.
NTSTATUS AdapterCompletePnp(AdapterExtension* Adapter, PIRP Irp, NTSTATUS Status);
