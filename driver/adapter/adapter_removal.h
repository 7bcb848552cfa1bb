// Stopping everything that could still touch an adapter's records, and its removal.
// PASSIVE_LEVEL.
#pragma once

#include "core/records.h"

// Disables the adapter interface and frees its name; a second call does nothing.
VOID AdapterDisableInterface(AdapterExtension* Adapter);

// Stop, surprise removal and removal: every port's requests are cancelled and its transfers
// cancelled and awaited, then the command channel is stopped (its transfers aborted and
// awaited, its queue freed). Nothing is freed here. With Removing, AdapterRemoved is set
// first, so that no completion routine sends anything again.
VOID AdapterQuiesce(AdapterExtension* Adapter, BOOLEAN Removing);

// IRP_MN_REMOVE_DEVICE: quiesces, deletes every port (unlinked under ChildListMutex, deleted
// after it is released), frees the adapter's blocks, passes the request down, detaches and
// deletes the adapter. Returns the lower driver's status.
NTSTATUS AdapterRemoveDevice(AdapterExtension* Adapter, PIRP Irp);
