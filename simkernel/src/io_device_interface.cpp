// Device interfaces: names made from the device instance path and the class GUID, and the
// "\??\" link enabling one creates so that applications can open the device by it.
#include <cstdio>
#include <cstring>

#include "io_internal.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"

using namespace sim::iom;

namespace {

struct InterfaceRecord {
  sim::io::DeviceInterface info;
  std::vector<PDEVICE_OBJECT> stack;  // the devices above the PDO when it was enabled
  bool reported = false;
};

struct InterfaceState {
  std::vector<InterfaceRecord> interfaces;  // registration order
};

InterfaceState& Interfaces() { return sim::Machine::Current().State<InterfaceState>(); }

InterfaceRecord* Find(std::u16string_view link) {
  const std::u16string key = NameKey(link);
  for (auto& record : Interfaces().interfaces)
    if (NameKey(record.info.symbolicLink) == key) return &record;
  return nullptr;
}

void CheckPassive(const char* call) {
  SetCall(call);
  if (CurrentIrql() != PASSIVE_LEVEL)
    Report("device interface routine above PASSIVE_LEVEL",
           std::string(call) + " at IRQL " + std::to_string(CurrentIrql()));
}

bool Text(PCUNICODE_STRING string, std::u16string* text) {
  text->clear();
  if (!string) return true;
  if ((string->Length & 1) || string->Length > string->MaximumLength || (string->Length && !string->Buffer)) return false;
  text->assign(string->Buffer ? string->Buffer : u"", string->Length / sizeof(WCHAR));
  return true;
}

// A string the caller frees with RtlFreeUnicodeString or ExFreePool: from paged pool, NUL-terminated.
PWSTR AllocateString(std::u16string_view text) {
  auto* buffer = static_cast<PWSTR>(
      ExAllocatePoolWithTag(PagedPool, (text.size() + 1) * sizeof(WCHAR), sim::pool::SystemStringTag()));
  if (!buffer) return nullptr;
  std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
  buffer[text.size()] = u'\0';
  return buffer;
}

}  // namespace

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, CONST GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  CheckPassive("IoRegisterDeviceInterface");
  if (!InterfaceClassGuid || !SymbolicLinkName) return STATUS_INVALID_PARAMETER;
  auto instance = sim::registry::DeviceInstancePath(PhysicalDeviceObject);
  if (!instance || sim::io::IsDeleted(PhysicalDeviceObject)) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string reference;
  if (!Text(ReferenceString, &reference) || reference.find(u'\\') != std::u16string::npos)
    return STATUS_INVALID_PARAMETER;
  std::u16string link = u"\\??\\" + *instance;
  for (size_t i = 4; i < link.size(); ++i)
    if (link[i] == u'\\') link[i] = u'#';
  link += u"#" + sim::io::GuidText(*InterfaceClassGuid);
  if (!reference.empty()) link += u"\\" + reference;

  // The registration belongs to the device instance: a new PDO of the same instance (a
  // replugged device) takes it over.
  if (InterfaceRecord* existing = Find(link)) {
    link = existing->info.symbolicLink;
    if (!existing->info.enabled) existing->info.device = PhysicalDeviceObject;
  }
  PWSTR buffer = AllocateString(link);
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  if (!Find(link)) {
    InterfaceRecord record;
    record.info = {link, PhysicalDeviceObject, *InterfaceClassGuid, reference, false};
    Interfaces().interfaces.push_back(std::move(record));
  }
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(SymbolicLinkName->Length + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  CheckPassive("IoSetDeviceInterfaceState");
  std::u16string link;
  if (!SymbolicLinkName || !Text(SymbolicLinkName, &link) || link.empty()) return STATUS_INVALID_PARAMETER;
  InterfaceRecord* record = Find(link);
  if (!record) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!Enable) {
    if (!record->info.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    sim::io::DeleteSymbolicLink(record->info.symbolicLink);
    record->info.enabled = false;
    return STATUS_SUCCESS;
  }
  if (record->info.enabled) return STATUS_OBJECT_NAME_EXISTS;
  const std::u16string target = sim::io::DeviceName(record->info.device);
  if (target.empty() || sim::io::IsDeleted(record->info.device)) return STATUS_INVALID_DEVICE_REQUEST;
  if (NTSTATUS status = sim::io::CreateSymbolicLink(record->info.symbolicLink, target); !NT_SUCCESS(status))
    return status;
  record->info.enabled = true;
  record->reported = false;
  record->stack.clear();
  for (PDEVICE_OBJECT above = record->info.device->AttachedDevice; above; above = above->AttachedDevice)
    record->stack.push_back(above);
  return STATUS_SUCCESS;
}

NTSTATUS IoGetDeviceInterfaces(CONST GUID* InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject, ULONG Flags,
                               PWSTR* SymbolicLinkList) {
  CheckPassive("IoGetDeviceInterfaces");
  if (!InterfaceClassGuid || !SymbolicLinkList) return STATUS_INVALID_PARAMETER;
  std::u16string list;
  for (const auto& record : Interfaces().interfaces) {
    const auto& info = record.info;
    if (std::memcmp(&info.classGuid, InterfaceClassGuid, sizeof(GUID)) != 0) continue;
    if (PhysicalDeviceObject && info.device != PhysicalDeviceObject) continue;
    if (!info.enabled && !(Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE)) continue;
    list += info.symbolicLink;
    list.push_back(u'\0');
  }
  // The list ends with an empty string; AllocateString adds its terminator.
  *SymbolicLinkList = AllocateString(list);
  return *SymbolicLinkList ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

namespace sim::iom {

void DeviceInterfacesOnDelete(PDEVICE_OBJECT device) {
  for (auto& record : Interfaces().interfaces) {
    if (!record.info.enabled || record.reported) continue;
    bool inStack = record.info.device == device;
    for (PDEVICE_OBJECT above : record.stack) inStack = inStack || above == device;
    if (!inStack) continue;
    record.reported = true;
    Report("device interface enabled on deleted device",
           Narrow(record.info.symbolicLink) + " still enabled when " + DescribeDevice(device) + " was deleted");
  }
}

}  // namespace sim::iom

namespace sim::io {

std::u16string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return std::u16string(text, text + std::strlen(text));
}

std::vector<DeviceInterface> DeviceInterfaces(const GUID& classGuid) {
  std::vector<DeviceInterface> found;
  for (const auto& record : Interfaces().interfaces)
    if (std::memcmp(&record.info.classGuid, &classGuid, sizeof(GUID)) == 0) found.push_back(record.info);
  return found;
}

}  // namespace sim::io
