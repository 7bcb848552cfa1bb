// WMI registration: IoWMIRegistrationControl asks the provider for its registration
// information, and the table of registered device objects keeps what it answered.
#include <cstring>

#include "io_internal.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"
#include "wmi_internal.h"

using namespace sim::iom;
using sim::wmim::Wmi;

namespace sim::wmim {

WmiState& Wmi() { return sim::Machine::Current().State<WmiState>(); }

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

bool ReadCountedString(const uint8_t* buffer, ULONG limit, ULONG offset, std::u16string* text) {
  if (offset > limit || limit - offset < sizeof(USHORT)) return false;
  USHORT length;
  std::memcpy(&length, buffer + offset, sizeof(length));
  if ((length & 1) || limit - offset - sizeof(USHORT) < length) return false;
  text->resize(length / sizeof(char16_t));
  std::memcpy(text->data(), buffer + offset + sizeof(USHORT), length);
  return true;
}

}  // namespace sim::wmim

namespace {

using sim::wmim::ReadCountedString;

// The name Windows gives the instances of a block registered with WMIREG_FLAG_INSTANCE_PDO.
std::u16string InstancePathOf(PDEVICE_OBJECT pdo) {
  if (sim::pnp::Enabled())
    if (auto node = sim::pnp::NodeOf(pdo)) return node->instancePath;
  if (auto path = sim::registry::DeviceInstancePath(pdo)) return *path;
  return sim::io::DeviceName(pdo);
}

// Decodes a WMIREGINFO answer; on failure *problem says what was wrong.
bool ParseRegInfo(const std::vector<uint8_t>& buffer, ULONG_PTR used, sim::wmi::Registration* out,
                  std::string* problem) {
  const ULONG header = offsetof(WMIREGINFO, WmiRegGuid);
  if (used > buffer.size() || used < header) {
    *problem = "answer of " + std::to_string(used) + " bytes";
    return false;
  }
  const ULONG limit = static_cast<ULONG>(used);
  WMIREGINFO info;
  std::memcpy(&info, buffer.data(), header);
  if (info.BufferSize > limit || info.BufferSize < header) {
    *problem = "BufferSize " + std::to_string(info.BufferSize) + " with " + std::to_string(limit) + " bytes returned";
    return false;
  }
  const ULONG size = info.BufferSize;
  if (info.GuidCount > (size - header) / sizeof(WMIREGGUID)) {
    *problem = std::to_string(info.GuidCount) + " GUIDs do not fit in " + std::to_string(size) + " bytes";
    return false;
  }
  const uint8_t* base = buffer.data();
  if (info.RegistryPath && !ReadCountedString(base, size, info.RegistryPath, &out->registryPath)) {
    *problem = "registry path outside the buffer";
    return false;
  }
  if (info.MofResourceName && !ReadCountedString(base, size, info.MofResourceName, &out->mofResourceName)) {
    *problem = "MOF resource name outside the buffer";
    return false;
  }
  for (ULONG i = 0; i < info.GuidCount; ++i) {
    WMIREGGUID entry;
    std::memcpy(&entry, base + header + i * sizeof(WMIREGGUID), sizeof(entry));
    sim::wmi::RegisteredGuid guid{entry.Guid, entry.Flags, entry.InstanceCount, {}};
    const std::string which = "GUID " + std::to_string(i);
    if (entry.Flags & WMIREG_FLAG_INSTANCE_PDO) {
      auto pdo = reinterpret_cast<PDEVICE_OBJECT>(entry.Pdo);
      if (!pdo || !FindDeviceRecord(pdo)) {
        *problem = which + ": WMIREG_FLAG_INSTANCE_PDO without a device object";
        return false;
      }
      out->pdo = pdo;
      const std::u16string path = InstancePathOf(pdo);
      for (ULONG n = 0; n < entry.InstanceCount; ++n) {
        const std::string number = std::to_string(n);
        guid.instanceNames.push_back(path + u"_" + std::u16string(number.begin(), number.end()));
      }
    } else if (entry.Flags & WMIREG_FLAG_INSTANCE_BASENAME) {
      std::u16string baseName;
      if (!ReadCountedString(base, size, entry.BaseNameOffset, &baseName)) {
        *problem = which + ": base name outside the buffer";
        return false;
      }
      for (ULONG n = 0; n < entry.InstanceCount; ++n) {
        const std::string number = std::to_string(n);
        guid.instanceNames.push_back(baseName + std::u16string(number.begin(), number.end()));
      }
    } else if (entry.Flags & WMIREG_FLAG_INSTANCE_LIST) {
      ULONG offset = entry.InstanceNameList;
      for (ULONG n = 0; n < entry.InstanceCount; ++n) {
        std::u16string name;
        if (!ReadCountedString(base, size, offset, &name)) {
          *problem = which + ": instance name " + std::to_string(n) + " outside the buffer";
          return false;
        }
        offset += sizeof(USHORT) + static_cast<ULONG>(name.size() * sizeof(char16_t));
        guid.instanceNames.push_back(std::move(name));
      }
    }
    out->guids.push_back(std::move(guid));
  }
  return true;
}

// Sends IRP_MN_REGINFO (again with the size a too-small answer asks for) and decodes it.
NTSTATUS AskRegInfo(PDEVICE_OBJECT device, ULONG_PTR dataPath, sim::wmi::Registration* registration) {
  sim::wmi::RawRequest request;
  request.minor = IRP_MN_REGINFO;
  request.dataPath = dataPath;
  request.bufferSize = 0x200;
  sim::wmi::Answer answer;
  for (int attempt = 0; attempt < 2; ++attempt) {
    ++registration->reginfoRequests;
    answer = sim::wmi::Send(device, request);
    if (answer.status != STATUS_BUFFER_TOO_SMALL || answer.information != sizeof(ULONG)) break;
    ULONG needed;
    std::memcpy(&needed, answer.buffer.data(), sizeof(needed));
    if (needed <= request.bufferSize || needed > 0x100000) break;
    request.bufferSize = needed;
  }
  if (!NT_SUCCESS(answer.status)) return answer.status;
  std::string problem;
  if (!ParseRegInfo(answer.buffer, answer.information, registration, &problem)) {
    Report("wmi reginfo malformed", DescribeDevice(device) + ": " + problem);
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
  SetCall("IoWMIRegistrationControl");
  if (CurrentIrql() != PASSIVE_LEVEL) {
    Report("wmi registration above PASSIVE_LEVEL", "IoWMIRegistrationControl at IRQL " +
                                                       std::to_string(CurrentIrql()));
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  DeviceRecord* record = FindDeviceRecord(DeviceObject);
  if (!record || record->deleted) return STATUS_INVALID_PARAMETER;
  auto& table = Wmi().registrations;
  const bool registered = table.count(DeviceObject) != 0;
  switch (Action) {
    case WMIREG_ACTION_REGISTER: {
      if (registered) {
        Report("wmi registered twice", DescribeDevice(DeviceObject));
        return STATUS_OBJECT_NAME_COLLISION;
      }
      sim::wmi::Registration registration;
      registration.device = DeviceObject;
      // Registered while it is asked, as on Windows: the provider's request checks see it.
      table[DeviceObject] = registration;
      NTSTATUS status = AskRegInfo(DeviceObject, WMIREGISTER, &registration);
      if (!NT_SUCCESS(status)) {
        Wmi().registrations.erase(DeviceObject);
        return status;
      }
      Wmi().registrations[DeviceObject] = std::move(registration);
      return STATUS_SUCCESS;
    }
    case WMIREG_ACTION_DEREGISTER:
      if (!registered) {
        Report("wmi deregistered when not registered", DescribeDevice(DeviceObject));
        return STATUS_INVALID_PARAMETER;
      }
      table.erase(DeviceObject);
      return STATUS_SUCCESS;
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS: {
      if (!registered) return STATUS_INVALID_PARAMETER;
      sim::wmi::Registration registration;
      registration.device = DeviceObject;
      NTSTATUS status =
          AskRegInfo(DeviceObject, Action == WMIREG_ACTION_UPDATE_GUIDS ? WMIUPDATE : WMIREGISTER, &registration);
      if (!NT_SUCCESS(status)) return status;
      auto it = Wmi().registrations.find(DeviceObject);
      if (it == Wmi().registrations.end()) return STATUS_INVALID_PARAMETER;  // deregistered meanwhile
      registration.reginfoRequests += it->second.reginfoRequests;
      it->second = std::move(registration);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

void sim::iom::WmiOnDelete(PDEVICE_OBJECT device) {
  auto& table = Wmi().registrations;
  if (!table.erase(device)) return;
  Report("device deleted while registered with wmi", DescribeDevice(device));
}

namespace sim::wmi {

bool IsRegistered(PDEVICE_OBJECT device) { return Wmi().registrations.count(device) != 0; }

std::optional<Registration> RegistrationOf(PDEVICE_OBJECT device) {
  auto it = Wmi().registrations.find(device);
  if (it == Wmi().registrations.end()) return std::nullopt;
  return it->second;
}

std::vector<FiredEvent> FiredEvents() { return Wmi().events; }

}  // namespace sim::wmi
