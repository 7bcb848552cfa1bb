// The plug-and-play manager's part of the registry: device instance paths of physical device
// objects, and the hardware (Device Parameters) and software (driver) keys drivers open.
#include <cstdio>

#include "registry_internal.h"

using namespace sim::reg;

namespace {

constexpr std::u16string_view kCurrentProfile =
    u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet";

// "{guid}\NNNN" below Control\Class: the Driver value of the instance key, made from its
// ClassGUID with the first free number the first time it is asked for.
NTSTATUS DriverKeyName(const std::u16string& instance, std::u16string* name) {
  const std::u16string enumKey = std::u16string(sim::registry::kEnum) + u"\\" + instance;
  if (auto driver = sim::registry::GetSz(enumKey, u"Driver")) {
    *name = *driver;
    return STATUS_SUCCESS;
  }
  auto classGuid = sim::registry::GetSz(enumKey, u"ClassGUID");
  if (!classGuid || classGuid->empty()) return STATUS_OBJECT_NAME_NOT_FOUND;  // no driver installed for it
  const std::u16string classKey = std::u16string(sim::registry::kControl) + u"\\Class\\" + *classGuid;
  for (unsigned number = 0; number <= 9999; ++number) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04u", number);
    std::u16string candidate = *classGuid + u"\\" + std::u16string(digits, digits + 4);
    if (sim::registry::KeyExists(std::u16string(sim::registry::kControl) + u"\\Class\\" + candidate)) continue;
    sim::registry::CreateKey(classKey + u"\\" + std::u16string(digits, digits + 4));
    sim::registry::SetSz(enumKey, u"Driver", candidate);
    *name = candidate;
    return STATUS_SUCCESS;
  }
  return STATUS_INSUFFICIENT_RESOURCES;
}

}  // namespace

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
  CheckPassive("IoOpenDeviceRegistryKey");
  if (!DevInstRegKey) return STATUS_INVALID_PARAMETER;
  auto& paths = Registry().instancePaths;
  auto known = paths.find(DeviceObject);
  if (known == paths.end() || sim::io::IsDeleted(DeviceObject)) return STATUS_INVALID_DEVICE_REQUEST;
  const ULONG which = DevInstKeyType & ~ULONG(PLUGPLAY_REGKEY_CURRENT_HWPROFILE);
  if (which != PLUGPLAY_REGKEY_DEVICE && which != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;
  std::u16string path((DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) ? kCurrentProfile
                                                                            : sim::registry::kCurrentControlSet);
  if (which == PLUGPLAY_REGKEY_DEVICE) {
    path += u"\\Enum\\" + known->second + u"\\Device Parameters";
  } else {
    std::u16string driverKey;
    if (NTSTATUS status = DriverKeyName(known->second, &driverKey); !NT_SUCCESS(status)) return status;
    path += u"\\Control\\Class\\" + driverKey;
  }
  std::shared_ptr<Key> key = CreatePath(path);
  if (!key) return STATUS_OBJECT_NAME_INVALID;
  *DevInstRegKey = OpenHandle(key, GrantedAccess(DesiredAccess), path);
  return STATUS_SUCCESS;
}

namespace sim::registry {

void SetDeviceInstancePath(PDEVICE_OBJECT pdo, std::u16string_view instancePath, std::u16string_view classGuid) {
  Registry().instancePaths[pdo] = std::u16string(instancePath);
  const std::u16string enumKey = std::u16string(kEnum) + u"\\" + std::u16string(instancePath);
  CreateKey(enumKey);
  if (!classGuid.empty()) SetSz(enumKey, u"ClassGUID", classGuid);
}

std::optional<std::u16string> DeviceInstancePath(PDEVICE_OBJECT pdo) {
  auto& paths = Registry().instancePaths;
  auto it = paths.find(pdo);
  if (it == paths.end()) return std::nullopt;
  return it->second;
}

}  // namespace sim::registry
