// The Zw*Key routines: keys opened through handles, values read, written and deleted.
#include <algorithm>
#include <cstring>

#include "registry_internal.h"

using namespace sim::reg;

namespace {

// The key the object attributes name, opened or created; its path for reports.
NTSTATUS Resolve(POBJECT_ATTRIBUTES attributes, bool create, bool isVolatile, const char* call,
                 std::shared_ptr<Key>* key, std::u16string* path, bool* created) {
  std::u16string name;
  if (attributes->ObjectName && !Text(attributes->ObjectName, &name)) return STATUS_OBJECT_NAME_INVALID;
  if (!attributes->RootDirectory) {
    *path = name;
    return WalkAbsolute(name, create, isVolatile, key, created);
  }
  Handle* root = LookupHandle(attributes->RootDirectory, call);
  if (!root) return STATUS_INVALID_HANDLE;
  if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  *path = name.empty() ? root->path : root->path + u"\\" + name;
  return Walk(root->key, name, create, isVolatile, key, created);
}

NTSTATUS OpenOrCreate(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, bool create,
                      ULONG CreateOptions, PULONG Disposition, const char* call) {
  CheckPassive(call);
  if (!KeyHandle || !ObjectAttributes) return STATUS_INVALID_PARAMETER;
  *KeyHandle = nullptr;
  std::shared_ptr<Key> key;
  std::u16string path;
  bool created = false;
  NTSTATUS status = Resolve(ObjectAttributes, create, (CreateOptions & REG_OPTION_VOLATILE) != 0, call, &key, &path,
                            &created);
  if (!NT_SUCCESS(status)) return status;
  *KeyHandle = OpenHandle(key, GrantedAccess(DesiredAccess), path);
  if (Disposition) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return STATUS_SUCCESS;
}

// The key behind a handle for a value routine, or the status that routine returns.
NTSTATUS KeyOf(HANDLE handle, const char* call, std::shared_ptr<Key>* key) {
  Handle* entry = LookupHandle(handle, call);
  if (!entry) return STATUS_INVALID_HANDLE;
  if (entry->key->deleted) return STATUS_KEY_DELETED;
  *key = entry->key;
  return STATUS_SUCCESS;
}

void PutUlong(uint8_t* base, size_t offset, ULONG value) { std::memcpy(base + offset, &value, sizeof value); }

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, false, 0, nullptr, "ZwOpenKey");
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
  UNREFERENCED_PARAMETER(TitleIndex);
  UNREFERENCED_PARAMETER(Class);
  return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, true, CreateOptions, Disposition, "ZwCreateKey");
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
  CheckPassive("ZwQueryValueKey");
  std::shared_ptr<Key> key;
  if (NTSTATUS status = KeyOf(KeyHandle, "ZwQueryValueKey", &key); !NT_SUCCESS(status)) return status;
  std::u16string name;
  if (!ResultLength || !Text(ValueName, &name) || (Length && !KeyValueInformation)) return STATUS_INVALID_PARAMETER;
  *ResultLength = 0;
  const sim::registry::Value* value = key->FindValue(name);
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;

  const ULONG nameBytes = static_cast<ULONG>(value->name.size() * sizeof(WCHAR));
  const ULONG dataBytes = static_cast<ULONG>(value->data.size());
  auto* out = static_cast<uint8_t*>(KeyValueInformation);
  // The fixed part must fit; past it a name is copied as far as it fits, data only whole.
  ULONG fixed, required, dataOffset = 0;
  switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
      required = fixed + nameBytes;
      break;
    case KeyValueFullInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      dataOffset = (fixed + nameBytes + sizeof(ULONG) - 1) & ~ULONG(sizeof(ULONG) - 1);
      required = dataOffset + dataBytes;
      break;
    case KeyValuePartialInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      required = fixed + dataBytes;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  *ResultLength = required;
  if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
  NTSTATUS status = Length < required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
  PutUlong(out, 0, 0);  // TitleIndex
  PutUlong(out, 4, value->type);
  switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
      PutUlong(out, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
      std::memcpy(out + fixed, value->name.data(), std::min(nameBytes, Length - fixed));
      break;
    case KeyValueFullInformation:
      PutUlong(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
      PutUlong(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
      PutUlong(out, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
      std::memcpy(out + fixed, value->name.data(), std::min(nameBytes, Length - fixed));
      if (status == STATUS_SUCCESS && dataBytes) std::memcpy(out + dataOffset, value->data.data(), dataBytes);
      break;
    default:
      PutUlong(out, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
      if (status == STATUS_SUCCESS && dataBytes) std::memcpy(out + fixed, value->data.data(), dataBytes);
      break;
  }
  return status;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
  UNREFERENCED_PARAMETER(TitleIndex);
  CheckPassive("ZwSetValueKey");
  std::shared_ptr<Key> key;
  if (NTSTATUS status = KeyOf(KeyHandle, "ZwSetValueKey", &key); !NT_SUCCESS(status)) return status;
  std::u16string name;
  if (!Text(ValueName, &name) || (DataSize && !Data)) return STATUS_INVALID_PARAMETER;
  const auto* bytes = static_cast<const uint8_t*>(Data);
  key->SetValue(name, Type, std::vector<uint8_t>(bytes, bytes + DataSize));
  return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  CheckPassive("ZwDeleteValueKey");
  std::shared_ptr<Key> key;
  if (NTSTATUS status = KeyOf(KeyHandle, "ZwDeleteValueKey", &key); !NT_SUCCESS(status)) return status;
  std::u16string name;
  if (!Text(ValueName, &name)) return STATUS_INVALID_PARAMETER;
  return key->DeleteValue(name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwClose(HANDLE Handle) {
  CheckPassive("ZwClose");
  auto& handles = Registry().handles;
  if (handles.erase(reinterpret_cast<uintptr_t>(Handle))) return STATUS_SUCCESS;
  // The system bugchecks (INVALID_KERNEL_HANDLE) when the handle table is checked; here the
  // caller gets the status a user-mode close would.
  sim::Machine::Current().Report("invalid handle closed",
                                 "handle " + std::to_string(reinterpret_cast<uintptr_t>(Handle)) +
                                     ", never opened or already closed");
  return STATUS_INVALID_HANDLE;
}
