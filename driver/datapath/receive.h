// The receive stream of an open port: one 64-byte bulk IN transfer always posted on the
// port's data IN pipe, its bytes delivered straight into the read attached to the receive
// path (direct mode) or into the receive ring, and the ring's enlargement. Non-pageable: the
// completion runs at DISPATCH_LEVEL.
#pragma once

#include "core/records.h"

#define DATA_READ_SIZE 64
#define RECEIVE_BUFFER_SIZE_AT_OPEN 4096

// Posts the port's data read. The caller holds no lock of the driver: the transfer is
// prepared under ReceiveLock and sent after it is released. STATUS_SUCCESS, doing nothing,
// while a read is already posted (one URB and buffer per port); STATUS_INSUFFICIENT_RESOURCES
// without a request or MDL; otherwise what IoCallDriver returned.
NTSTATUS DataReadStart(PortExtension* Port);

NTSTATUS NTAPI DataReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// ReceiveLock held. Stores received bytes in the ring: what does not fit is dropped and
// counted as one buffer overrun. Returns SERIAL_EV_RX80FULL when the ring's fill crossed 80 %
// of its size, else 0.
ULONG StoreInReceiveBuffer(PortExtension* Port, const UCHAR* Bytes, ULONG Count);

// ReceiveLock held. Moves what the ring holds, up to what the current read still needs,
// into the read; returns the bytes moved.
ULONG CopyReceiveBufferToRead(PortExtension* Port);

// ReceiveLock held. Puts the receive path back into ring mode with an empty ring position
// at the buffer's start (used when a direct read ends or is taken back; the ring was empty).
VOID ReceiveReturnToRing(PortExtension* Port);

// IOCTL_SERIAL_SET_QUEUE_SIZE as the current request of the read queue: installs the larger
// buffer the request carries, keeping the unread bytes in order. Returns the request's status.
NTSTATUS ResizeReceiveBuffer(PortExtension* Port);
