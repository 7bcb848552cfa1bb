// Host-side view of the simulated WMI system: what the WMI service knows of the registered
// providers, and its requests to them.
//
// Registration: IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER) sends IRP_MN_REGINFO
// (DataPath WMIREGISTER) to the top of the device's stack before it returns, retrying once with
// the size a too-small answer asks for, and keeps what the provider answered. Static instance
// names: WMIREG_FLAG_INSTANCE_PDO gives "<device instance path of the PDO>_<n>" (the PnP node's
// path when the manager is on, else the registry's instance path, else the PDO's device name);
// WMIREG_FLAG_INSTANCE_BASENAME gives "<base name><n>"; WMIREG_FLAG_INSTANCE_LIST the listed
// names. REREGISTER and UPDATE_GUIDS ask again (DataPath WMIREGISTER / WMIUPDATE) and replace
// the registration; DEREGISTER drops it. A failed or malformed answer leaves the device
// unregistered and IoWMIRegistrationControl returns the failure. Registering a device already
// registered returns STATUS_OBJECT_NAME_COLLISION and keeps the registration it has.
//
// Requests: IRP_MJ_SYSTEM_CONTROL from an application task at PASSIVE_LEVEL, to the top of the
// stack holding the device, ProviderId the registered device object, IoStatus preset to
// STATUS_NOT_SUPPORTED; the buffer is filled with 0xA5 before the WNODE is written, so bytes a
// driver leaves unwritten show.
//
// The WMI library (WmiSystemControl): a minor outside the WMI ones is IrpNotWmi, a request for
// another provider IrpForward, both untouched. IRP_MN_REGINFO builds the WMIREGINFO (or puts
// the size needed in the first ULONG with STATUS_BUFFER_TOO_SMALL) and is IrpNotCompleted. An
// unknown GUID (STATUS_WMI_GUID_NOT_FOUND), an instance index out of range
// (STATUS_WMI_INSTANCE_NOT_FOUND) or a WNODE that does not fit its buffer
// (STATUS_INVALID_PARAMETER) sets the status, Information 0, IrpNotCompleted: the driver
// completes it. A missing callback is answered by the library (set: STATUS_WMI_READ_ONLY,
// method: STATUS_INVALID_DEVICE_REQUEST, enable/disable: STATUS_SUCCESS) and completed,
// IrpProcessed. Otherwise the callback is called, IrpProcessed, and it finishes with
// WmiCompleteRequest. A driver's STATUS_BUFFER_TOO_SMALL becomes a WNODE_TOO_SMALL answer with
// STATUS_SUCCESS, Information sizeof(WNODE_TOO_SMALL), SizeNeeded the WNODE's data offset plus
// BufferUsed. Query answers for all data set WNODE_FLAG_STATIC_INSTANCE_NAMES and, when every
// instance has the same length, WNODE_FLAG_FIXED_INSTANCE_SIZE; instances are 8-byte aligned.
//
// Verifier rules (Machine::Report rule names):
//   "wmi registered twice"                      "wmi deregistered when not registered"
//   "device deleted while registered with wmi"  "wmi registration above PASSIVE_LEVEL"
//   "wmi reginfo malformed"                     "WmiCompleteRequest BufferUsed exceeds buffer"
//   "WmiCompleteRequest on irp not from WmiSystemControl"
//   "WmiSystemControl above PASSIVE_LEVEL"      "wmilib context without required callback"
//   "WmiFireEvent above DISPATCH_LEVEL"
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "simkernel/wmilib.h"

namespace sim::wmi {

struct RegisteredGuid {
  GUID guid{};
  ULONG flags = 0;          // WMIREG_FLAG_* as answered (the provider's RegFlags included)
  ULONG instanceCount = 0;
  std::vector<std::u16string> instanceNames;  // static names; empty for dynamic ones
};

struct Registration {
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT pdo = nullptr;       // named with WMIREG_FLAG_INSTANCE_PDO, else null
  std::u16string registryPath;
  std::u16string mofResourceName;
  std::vector<RegisteredGuid> guids;
  int reginfoRequests = 0;            // IRP_MN_REGINFO sent for this registration
};

bool IsRegistered(PDEVICE_OBJECT device);
std::optional<Registration> RegistrationOf(PDEVICE_OBJECT device);

// A provider's answer, decoded.
struct Instance {
  ULONG index = 0;
  std::u16string name;             // from the registration's static names, "" if none
  std::vector<uint8_t> data;
};
struct Answer {
  bool sent = false;               // false: refused by the WMI service, no IRP went out
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  CCHAR boost = 0;
  ULONG flags = 0;                 // WnodeHeader.Flags of the answer
  bool tooSmall = false;           // WNODE_FLAG_TOO_SMALL
  ULONG sizeNeeded = 0;            // its SizeNeeded
  std::vector<Instance> instances; // query and method answers
  std::vector<uint8_t> buffer;     // the whole buffer after completion
  std::string problem;             // the WNODE did not decode: what was wrong
};

// Requests as the WMI service makes them: refused without an IRP (sent false,
// STATUS_WMI_GUID_NOT_FOUND) when the device is not registered or did not register the GUID,
// and STATUS_WMI_INSTANCE_NOT_FOUND when the instance name is not one of the GUID's.
// bufferSize is the whole buffer, WNODE included.
Answer QueryAllData(PDEVICE_OBJECT device, const GUID& guid, ULONG bufferSize);
Answer QuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, std::u16string_view instanceName,
                           ULONG bufferSize);
Answer SetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, std::u16string_view instanceName,
                         std::span<const uint8_t> data);
Answer SetSingleItem(PDEVICE_OBJECT device, const GUID& guid, std::u16string_view instanceName, ULONG itemId,
                     std::span<const uint8_t> data);
Answer ExecuteMethod(PDEVICE_OBJECT device, const GUID& guid, std::u16string_view instanceName, ULONG methodId,
                     std::span<const uint8_t> input, ULONG bufferSize);
Answer SetEvents(PDEVICE_OBJECT device, const GUID& guid, bool enable);      // IRP_MN_ENABLE/DISABLE_EVENTS
Answer SetCollection(PDEVICE_OBJECT device, const GUID& guid, bool enable);  // ..._COLLECTION

// Any request to any device, registered or not: the WNODE for the minor is built as above
// (REGINFO: a bare buffer) with these values.
struct RawRequest {
  UCHAR minor = IRP_MN_QUERY_ALL_DATA;
  GUID guid{};
  ULONG instanceIndex = 0;
  ULONG itemOrMethodId = 0;
  std::vector<uint8_t> input;        // set and method data
  ULONG bufferSize = 0x1000;
  std::optional<ULONG_PTR> providerId;  // default: the device itself
  ULONG_PTR dataPath = 0;            // REGINFO: WMIREGISTER / WMIUPDATE
  std::u16string instanceName;       // written after the single-instance, item and method WNODEs
  bool toTopOfStack = true;          // false: to `device` itself
};
Answer Send(PDEVICE_OBJECT device, const RawRequest& request);

// Events fired with WmiFireEvent, in order.
struct FiredEvent {
  PDEVICE_OBJECT device = nullptr;
  GUID guid{};
  ULONG instanceIndex = 0;
  std::vector<uint8_t> data;
};
std::vector<FiredEvent> FiredEvents();

}  // namespace sim::wmi
