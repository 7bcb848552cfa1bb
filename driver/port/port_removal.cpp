// The two removal steps of a port that touch the adapter's Ports table. The event path and
// surprise removal find ports through that table holding AdapterLock, so the table changes
// only under the same lock.
#include "port/port_pnp.h"

#include "command/response.h"
#include "core/helpers.h"

NTSTATUS PortSurpriseRemoval(PortExtension* Port) {
  Port->DevicePnpState = SurpriseRemoved;
  AdapterExtension* Adapter = Port->Adapter;
  AcquireOwnedSpinLock(&Adapter->AdapterLock);
  for (ULONG i = 0; i < MAX_PORTS; i++) {
    if (Adapter->Ports[i] != NULL) {
      PortDeliverEvents(Adapter->Ports[i], SERIAL_EV_EVENT1);
    }
  }
  ReleaseOwnedSpinLock(&Adapter->AdapterLock);
  return STATUS_SUCCESS;
}

VOID PortDetachFromAdapter(PortExtension* Port) {
  AdapterExtension* Adapter = Port->Adapter;
  AcquireOwnedSpinLock(&Adapter->AdapterLock);
  if (Port->PortNumber >= 1 && Port->PortNumber <= MAX_PORTS && Adapter->Ports[Port->PortNumber - 1] == Port) {
    Adapter->Ports[Port->PortNumber - 1] = NULL;
  }
  ReleaseOwnedSpinLock(&Adapter->AdapterLock);
}
