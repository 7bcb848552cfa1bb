// Handlers the routing already calls but whose subsystems are not written yet. Each one
// refuses its request with STATUS_NOT_IMPLEMENTED (no boost, information untouched).
// Whoever writes the real handler deletes its stand-in here, in the same change.
#include "core/helpers.h"
#include "datapath/request_queue.h"
#include "power_wmi/power.h"

static NTSTATUS NotImplemented(PIRP Irp) {
  Irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
  CompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_NOT_IMPLEMENTED;
}

// The power manager holds the device's next power request until it hears of this one.
NTSTATUS AdapterDispatchPower(AdapterExtension* Adapter, PIRP Irp) {
  UNREFERENCED_PARAMETER(Adapter);
  PoStartNextPowerIrp(Irp);
  return NotImplemented(Irp);
}

NTSTATUS PortDispatchPower(PortExtension* Port, PIRP Irp) {
  UNREFERENCED_PARAMETER(Port);
  PoStartNextPowerIrp(Irp);
  return NotImplemented(Irp);
}
