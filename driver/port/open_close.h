// Open, close and cleanup of a port.
#pragma once

#include "core/records.h"

NTSTATUS PortCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PortClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PortCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The steps close, cleanup and the port's deletion share. PASSIVE_LEVEL.
// Cancels every waiting and current request of the port (the immediate character excepted).
VOID PortCancelAllRequests(PortExtension* Port);
// The receive path stops storing and re-posting, the write path stops sending.
VOID PortMarkClosed(PortExtension* Port);
// The receive and write paths run again for a port whose handle stayed open while its
// adapter was stopped (the ring an open installed is still there).
VOID PortMarkOpen(PortExtension* Port);
// The three locks that guard IsOpen and TransfersHeld, in their order (AdapterLock,
// ReceiveLock, WriteLock), so that either may be read under any one of them.
VOID PortOpenStateLock(PortExtension* Port);
VOID PortOpenStateUnlock(PortExtension* Port);
// Frees the receive ring an open installed.
VOID PortReleaseReceiveBuffer(PortExtension* Port);
