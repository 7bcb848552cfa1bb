// Adapter and port records as the driver's own creation and start will set them up. They stand
// in for AdapterAddDevice, the adapter's start (port creation and set-up) and its removal until
// those are built; the driver harness and the adapter fixture both build their devices here.
// Every routine runs inside a task of the machine (it creates, waits on or deletes kernel
// objects).
#pragma once

#include <string>
#include <string_view>

#include "core/records.h"

namespace harness {

std::u16string ToU16(std::string_view text);

// The lowest free AdapterTable slot, MAX_ADAPTERS when the table is full.
ULONG FreeAdapterSlot();

// "\Device\ZelBrUsb<slot>" with its record set up the way AdapterAddDevice and the adapter's
// start will: pending count 1 with its events, locks, child list, an empty and idle command
// channel, entered in AdapterTable[slot] and attached above the PDO, left in the given
// state. PortCount, FirmwareRunning and the USB blocks (descriptors, pipes, URBs) are the
// caller's. Returns IoCreateDevice's failure, if any.
NTSTATUS CreateAdapterRecord(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, ULONG slot, ULONG state,
                             AdapterExtension** adapter);

// A serial port device of the adapter with its record set up the way port creation and set-up
// at adapter start will: queues, timers, the eight DPCs, events, locks incl. WaitStateLock and
// SettingsLock, the default settings, the data path's URBs and 64-byte buffers and the
// write-drain work item (STATUS_INSUFFICIENT_RESOURCES, nothing left behind, when one of them
// cannot be allocated); linked into the adapter's ChildList and Ports, left in the given
// state. The data pipes are the caller's.
NTSTATUS CreatePortRecord(PDRIVER_OBJECT driver, AdapterExtension* adapter, ULONG portNumber, std::u16string name,
                          ULONG state, PortExtension** port);

// What the adapter's removal will do with them: the port unlinked from its adapter, its
// queued DPCs and set timers taken back, its blocks freed, its device deleted; the adapter detached, its table slot
// freed, its device deleted. Ports go before their adapter; the adapter's pool blocks are
// the caller's to free first.
void DeletePortRecord(PortExtension* port);
void DeleteAdapterRecord(AdapterExtension* adapter);

}  // namespace harness
