// Power requests of the adapter and the ports.
#pragma once

#include "core/records.h"

NTSTATUS AdapterDispatchPower(AdapterExtension* Adapter, PIRP Irp);
NTSTATUS PortDispatchPower(PortExtension* Port, PIRP Irp);
