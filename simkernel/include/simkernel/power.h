// Host-side view of the simulated power manager's system transitions over the plug-and-play
// device tree, as Windows 2000 makes them.
//
// A transition goes to every started device of the tree (sim::pnp), each request to the top
// of the device's stack through PoCallDriver, from a power manager thread at PASSIVE_LEVEL,
// with Status preset to STATUS_NOT_SUPPORTED, Parameters.Power.Type SystemPowerState and a
// SystemContext of its own (the same for every request of one transition):
//   - Sleep: IRP_MN_QUERY_POWER Sx, children before parents (a parent once every child's
//     query has completed). A query completed with an error is a veto: no further query is
//     sent, and once those in flight are back every queried device gets IRP_MN_SET_POWER S0,
//     parents before children, as Windows cancels a query. Otherwise IRP_MN_SET_POWER Sx,
//     children before parents, a parent only after every child's request has completed.
//   - Wake: IRP_MN_SET_POWER PowerSystemWorking, parents before children (a child once its
//     parent's request has completed).
// Devices whose requests may go at the same moment (siblings) are sent one after the other
// without waiting for each other.
// The plug-and-play manager's work is held from a sleep's first request until the wake has
// completed (or the sleep was vetoed): a device that leaves or arrives meanwhile is handled
// after the wake.
//
// Windows 2000 waits for a system request for ever. Here the wait lasts while the machine has
// work, up to `patience` of virtual time: a request still out then is reported as
// "system power irp not completed" and the transition gives up (status STATUS_PENDING).
//
// Verifier rules reported here (Machine::Report rule names):
//   "system power irp not completed"   see above
//   "system set power irp failed"      a driver completed the manager's IRP_MN_SET_POWER for a
//                                      system state with an error: drivers may not fail it
//
// Calling context: the controlling (test) thread only; each call runs the machine until the
// transition is over. The plug-and-play manager's queued work is done first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "simkernel/machine.h"
#include "simkernel/wdm.h"

namespace sim::power {

struct TransitionOptions {
  // A critical transition: no IRP_MN_QUERY_POWER, the set requests at once.
  bool skipQuery = false;
  // ShutdownType of the requests; unset: PowerActionSleep for S1 to S3, PowerActionHibernate
  // for S4, PowerActionShutdownOff for S5, PowerActionNone when waking.
  std::optional<POWER_ACTION> action;
  VirtualTime patience = 60 * kSecond;
};

struct Outcome {
  NTSTATUS status = STATUS_SUCCESS;  // the veto's status, STATUS_PENDING if a request never came back
  std::u16string device;             // instance path of the device that vetoed or never answered
};

// From the working state to a sleeping state (PowerSystemSleeping1 to PowerSystemShutdown).
// STATUS_INVALID_PARAMETER for another state, STATUS_INVALID_DEVICE_STATE unless working.
Outcome Sleep(SYSTEM_POWER_STATE state, TransitionOptions options = {});
// Back to the working state; STATUS_INVALID_DEVICE_STATE if already working.
Outcome Wake(TransitionOptions options = {});
// The machine's system state: PowerSystemWorking until a Sleep has set its state, and again
// after Wake. A veto or a request that never came back leaves it as it was.
SYSTEM_POWER_STATE SystemState();

// Every power request the manager sent, and every one a driver asked for with
// PoRequestPowerIrp, in the order they were sent. `sent` and `completed` come from one
// counter, so "b was sent after a completed" is b.sent > a.completed.
struct LoggedIrp {
  uint64_t sent = 0;
  uint64_t completed = 0;            // 0 while the request is out
  std::u16string device;             // instance path of the device's stack, else the device's name
  UCHAR minor = 0;
  POWER_STATE_TYPE type = SystemPowerState;
  ULONG state = 0;                   // SYSTEM_POWER_STATE or DEVICE_POWER_STATE value
  NTSTATUS status = STATUS_PENDING;  // final status
  bool requested = false;            // PoRequestPowerIrp (else sent by the manager)
};
std::vector<LoggedIrp> Log();
void ClearLog();

}  // namespace sim::power
