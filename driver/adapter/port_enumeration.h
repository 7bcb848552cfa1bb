// The adapter as the bus of its four serial ports: creating the port devices and reporting
// them as the adapter's children. PASSIVE_LEVEL.
#pragma once

#include "core/records.h"

#define PORT_HARDWARE_ID_PREFIX "ZELBUS\\BRPORTS"

// Creates the port devices still missing from Ports (all of them at a first start; after a
// start that failed half-way, the rest), each with its kernel name, hardware id, work item
// and kernel objects, linked to the adapter. A port whose creation fails leaves nothing
// behind; the ports made before it stay linked and are reused by a later start.
NTSTATUS AdapterCreatePorts(AdapterExtension* Adapter);

// In the port record: identity, adapter links, PortInstanceNumber; at the tail of ChildList.
VOID PortLinkToAdapter(PDEVICE_OBJECT DeviceObject, AdapterExtension* Adapter);

// IRP_MN_QUERY_DEVICE_RELATIONS for BusRelations: the list from above (if any) extended with
// every present port, each with one reference taken for the caller. STATUS_SUCCESS, or
// STATUS_INSUFFICIENT_RESOURCES with the request's list left as it was. *PassUntouched is set
// when a list from above arrived while the adapter has no ports.
NTSTATUS AdapterQueryBusRelations(AdapterExtension* Adapter, PIRP Irp, PBOOLEAN PassUntouched);
