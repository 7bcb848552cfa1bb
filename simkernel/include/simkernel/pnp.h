// Host-side view of the simulated plug-and-play manager: the device tree, driver services
// matched by hardware and compatible IDs, enumeration, removal, stop and restart, eject,
// disable and enable, and the Ports class installer's COM names. Off until Enable(): the
// simulated kernel's own tests that build their stacks themselves see nothing of it.
//
// What it does, as Windows 2000 does for these stacks:
//   - Arrival of a child PDO (a USB device presented on the simulated bus, a device reported
//     with ReportRootDevice, or a new entry in a started device's BusRelations): QUERY_ID
//     (DeviceID, HardwareIDs, CompatibleIDs, InstanceID), QUERY_CAPABILITIES, QUERY_DEVICE_TEXT
//     (description, location), QUERY_BUS_INFORMATION; the device instance path
//     "<device id>\<instance id>", where the instance id is prefixed with the parent's
//     ParentIdPrefix ("<level>&<checksum>&0", kept in the parent's Enum key) unless the
//     device reports UniqueID; Enum\<path> written (HardwareID, CompatibleIDs, DeviceDesc,
//     LocationInformation, Service, Class, ClassGUID). Then the service whose IDs match best
//     (hardware IDs before compatible IDs, each in the order reported) is loaded if it is not
//     yet ("\REGISTRY\Machine\System\CurrentControlSet\Services\<name>"), the Ports class
//     installer runs for a Ports device, AddDevice (the device's then the class's LowerFilters,
//     the function driver, the device's then the class's UpperFilters: services named in
//     REG_MULTI_SZ values of Enum\<path> and Control\Class\<class GUID>), START (no resources), QUERY_CAPABILITIES,
//     and QUERY_DEVICE_RELATIONS BusRelations. A failed START is followed by REMOVE.
//   - IoInvalidateDeviceRelations(BusRelations) queues a new relations query to the PnP
//     worker task. A started child missing from the answer gets SURPRISE_REMOVAL, then
//     REMOVE_DEVICE once no handle is open on its stack; one never started gets REMOVE.
//   - Surprise removal (the USB device detached from the bus; the manager hears of it at the
//     hub's next status poll, 255 ms later, and until then the bus fails the stack's
//     transfers): SURPRISE_REMOVAL to the subtree, children before parents; REMOVE_DEVICE
//     to each device once its children are removed and no handle is open on its stack.
//   - A driver whose last device was removed is unloaded (io::UnloadDriver, with its leak
//     checks) if it has an unload routine; the next device it serves loads it again.
//   - Every request goes to the top of the device's stack with Status STATUS_NOT_SUPPORTED
//     (START, and the requests the manager expects drivers to succeed, the same).
//
// Verifier rules reported here (Machine::Report rule names):
//   "pnp irp not passed to the physical device"   START, STOP, REMOVE, SURPRISE_REMOVAL and
//                                                 the query/cancel pairs completed with
//                                                 success (REMOVE: at all) by a driver above
//                                                 without reaching the PDO
//   "pnp irp status changed for unhandled minor"  a request with an unknown minor code (sent
//                                                 after each START, as Driver Verifier does)
//                                                 came back without STATUS_NOT_SUPPORTED
//   "remove device failed"                        REMOVE_DEVICE or SURPRISE_REMOVAL failed
//   "device not deleted after remove"             a device above the PDO still exists (or is
//                                                 still attached) after REMOVE_DEVICE
//   "AddDevice returned success without attaching" (a driver serving its own PDO excepted)
//   "pnp answer not allocated from pool"          relations, ID strings, texts, bus information
//                                                 not the start of a live pool block
//   "malformed device relations"                  a count that does not fit the block, a NULL
//                                                 entry
//   "device relations entry not a physical device object"
//                                                 an entry that is not a live PDO of a driver
//                                                 of the reporting stack
//   "pdo in relations not referenced"             an entry without ObReferenceObject
//   "deleted pdo reported in relations"           a PDO already deleted reported again
//   "malformed pnp id"                            an ID not NUL-terminated in its block, a
//                                                 MULTI_SZ without its final empty string, an
//                                                 empty ID, characters at or below space or a
//                                                 comma, a device ID without "<enumerator>\",
//                                                 an instance ID holding '\'
//   "malformed device text"                       not NUL-terminated in its block
//   "duplicate device instance path"              two present devices with one path (Windows
//                                                 stops with bugcheck 0xCA; the second is not
//                                                 installed here). A device arriving with the
//                                                 path of a surprise-removed one still waiting
//                                                 for its handles is no duplicate: it is
//                                                 installed once the old one is removed
// (and "device initializing flag not cleared" from io::AddDevice)
//
// Calling context: the routines below are called from the controlling (test) thread; the
// synchronous ones run the machine until the PnP worker has done what they asked.
//
// A system sleep (simkernel/power.h) holds the tree from its first request until the wake has
// completed: work queued meanwhile (arrivals, departures, relations) waits for the wake, and
// the requests below that act on a device return STATUS_DEVICE_BUSY.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "simkernel/wdm.h"

namespace sim::pnp {

// Setup classes a service's INF names: Ports is what the COM name installer runs for.
enum class DeviceClass { Ports, MultiPortSerial, Unknown };
std::u16string ClassGuidText(DeviceClass deviceClass);  // "{4d36e978-e325-11ce-bfc1-08002be10318}"

// Turns the manager on: the root of the tree ("HTREE\ROOT\0"), the USB root hub under it and
// the USB bus's arrivals and departures. Nothing if already on.
void Enable();
bool Enabled();

// A driver service serving the given hardware or compatible IDs (matched without regard to
// case), installed in a setup class. Installing a name again adds IDs (an ID listed again
// takes the new class): one driver may serve devices of several classes, as a multi-port
// adapter's driver serves the adapter and its ports.
void InstallService(std::u16string_view name, PDRIVER_INITIALIZE entry, std::vector<std::u16string> ids,
                    DeviceClass deviceClass);
PDRIVER_OBJECT ServiceDriver(std::u16string_view name);  // the loaded driver, or null

// A PDO of a test's own root-enumerated device, enumerated as a child of the root.
void ReportRootDevice(PDEVICE_OBJECT pdo);

enum class NodeState {
  Enumerated,       // identified, no service matched (or not installed yet)
  Started,
  StartFailed,      // AddDevice, the driver's load or START failed; the stack was removed
  Stopped,          // between STOP and the restart
  SurpriseRemoved,  // waiting for its children and its handles before REMOVE
  Removed,          // REMOVE sent; the PDO is still reported by its parent
  Disabled,
};
const char* StateName(NodeState state);

struct NodeInfo {
  std::u16string instancePath;
  PDEVICE_OBJECT pdo = nullptr;
  NodeState state = NodeState::Enumerated;
  std::u16string parent;                  // instance path; "" for the root
  std::vector<std::u16string> children;   // in the order they were reported
  std::u16string service;                 // "" if none matched
  std::u16string deviceId;
  std::vector<std::u16string> hardwareIds;
  std::vector<std::u16string> compatibleIds;
  std::u16string instanceId;
  std::u16string description;
  std::u16string location;
  DEVICE_CAPABILITIES capabilities{};
};
std::optional<NodeInfo> Node(std::u16string_view instancePath);  // case-insensitive
std::optional<NodeInfo> NodeOf(PDEVICE_OBJECT pdo);
std::vector<NodeInfo> Nodes();  // tree order (parents before children)

// What the manager did, in order: which request (or "AddDevice") went to which device
// instance, and how it came back. Requests the verifier adds are not listed.
struct Event {
  std::u16string device;  // instance path
  std::string what;       // "START_DEVICE", "QUERY_ID DeviceID", "QUERY_DEVICE_RELATIONS BusRelations", ...
  NTSTATUS status = STATUS_SUCCESS;
};
std::vector<Event> Events();
void ClearEvents();

// Runs the machine until the PnP worker has nothing queued and nothing in hand, and no
// departure is waiting for the hub's next status poll.
void WaitIdle();

// Orderly removal of a device and everything below it: QUERY_REMOVE children first, then the
// device; a failure (or a handle still open afterwards, PNP_VetoOutstandingOpen) sends
// CANCEL_REMOVE to those queried, in reverse, and is returned; otherwise REMOVE_DEVICE children
// first. STATUS_NO_SUCH_DEVICE for an unknown or not started device.
NTSTATUS RequestRemoval(std::u16string_view instancePath);
// Query-remove and remove as above, then IRP_MN_EJECT if the capabilities say EjectSupported,
// and the parent's relations queried again.
NTSTATUS RequestEject(std::u16string_view instancePath);
// Stop and restart (resource rebalance): QUERY_STOP, STOP, START, BusRelations; a failed
// QUERY_STOP is answered with CANCEL_STOP and returned.
NTSTATUS Rebalance(std::u16string_view instancePath);
// Device Manager's disable: the orderly removal, the node kept as Disabled with its PDO.
NTSTATUS DisableDevice(std::u16string_view instancePath);
// Enable after disable: AddDevice on the same PDO and START.
NTSTATUS EnableDevice(std::u16string_view instancePath);
// Uninstall of a device that is not present: its Enum key goes and, for a Ports device, its
// COM name is freed in the COM name database. False if the device is present.
bool UninstallDevice(std::u16string_view instancePath);

// The COM name database: HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter, value
// "ComDB", REG_BINARY, bit n-1 of the bitmap set while COMn is taken.
inline constexpr std::u16string_view kComNameArbiter =
    u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Control\\COM Name Arbiter";
std::vector<unsigned> ComNamesInUse();  // the numbers n of the COMn taken

}  // namespace sim::pnp
