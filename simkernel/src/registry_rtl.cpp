// The run-time library's registry routines: paths relative to the well-known keys, query
// tables with query routines or direct results, and single values written and deleted.
#include <cstring>

#include "registry_internal.h"
#include "simkernel/pool.h"

using namespace sim::reg;

namespace {

constexpr std::u16string_view kRelativeBase[RTL_REGISTRY_MAXIMUM] = {
    u"",
    sim::registry::kServices,
    sim::registry::kControl,
    u"\\REGISTRY\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    sim::registry::kDeviceMap,
    u"\\REGISTRY\\User\\.DEFAULT",  // the system's own threads have no user of their own
};

// The key RelativeTo and Path name. Writers create the last component, as ZwCreateKey does.
NTSTATUS OpenRelative(ULONG relativeTo, PCWSTR path, bool create, const char* call, std::shared_ptr<Key>* key) {
  if (relativeTo & RTL_REGISTRY_HANDLE) {
    Handle* handle = LookupHandle(const_cast<PWSTR>(path), call);
    if (!handle) return STATUS_INVALID_HANDLE;
    if (handle->key->deleted) return STATUS_KEY_DELETED;
    *key = handle->key;
    return STATUS_SUCCESS;
  }
  const ULONG base = relativeTo & ~ULONG(RTL_REGISTRY_OPTIONAL);
  if (base >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
  std::u16string full(kRelativeBase[base]);
  const std::u16string text = Text(path);
  if (base == RTL_REGISTRY_ABSOLUTE)
    full = text;
  else if (!text.empty())
    full += u"\\" + text;
  return WalkAbsolute(full, create, false, key, nullptr);
}

bool IsString(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::vector<uint8_t> Bytes(std::u16string_view text) {
  std::vector<uint8_t> bytes(text.size() * sizeof(WCHAR));
  std::memcpy(bytes.data(), text.data(), bytes.size());
  return bytes;
}

std::u16string Chars(const std::vector<uint8_t>& bytes) {
  std::u16string text(bytes.size() / sizeof(WCHAR), u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * sizeof(WCHAR));
  return text;
}

// %NAME% replaced from an environment block (NAME=VALUE strings, an empty one last); a name
// the block does not have stays as written.
std::u16string Expand(std::u16string_view text, PVOID environment) {
  std::u16string result;
  size_t i = 0;
  while (i < text.size()) {
    size_t close = text[i] == u'%' ? text.find(u'%', i + 1) : std::u16string_view::npos;
    if (close == std::u16string_view::npos) {
      result.push_back(text[i++]);
      continue;
    }
    const std::u16string name = sim::iom::Fold(text.substr(i + 1, close - i - 1));
    bool found = false;
    for (auto* entry = static_cast<PCWSTR>(environment); entry && *entry; entry += std::u16string_view(entry).size() + 1) {
      std::u16string_view line(entry);
      size_t equals = line.find(u'=', 1);
      if (equals != std::u16string_view::npos && sim::iom::Fold(line.substr(0, equals)) == name) {
        result += line.substr(equals + 1);
        found = true;
        break;
      }
    }
    if (found) {
      i = close + 1;
    } else {
      result += text.substr(i, close - i);
      i = close;
    }
  }
  return result;
}

// What RTL_QUERY_REGISTRY_DIRECT does with one value, type by type.
NTSTATUS StoreDirect(PVOID destination, ULONG type, const std::vector<uint8_t>& data) {
  const ULONG length = static_cast<ULONG>(data.size());
  if (IsString(type)) {
    auto* string = static_cast<PUNICODE_STRING>(destination);
    if (length > MAXUSHORT) return STATUS_BUFFER_TOO_SMALL;
    if (!string->Buffer) {
      auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, length, sim::pool::SystemStringTag()));
      if (!buffer) return STATUS_NO_MEMORY;
      string->Buffer = buffer;
      string->MaximumLength = static_cast<USHORT>(length);
    } else if (length > string->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(string->Buffer, data.data(), length);
    string->Length = static_cast<USHORT>(length - sizeof(WCHAR));  // the terminator is there, not counted
    return STATUS_SUCCESS;
  }
  if (length <= sizeof(ULONG)) {
    std::memcpy(destination, data.data(), length);
    return STATUS_SUCCESS;
  }
  LONG size;
  std::memcpy(&size, destination, sizeof size);
  auto* out = static_cast<uint8_t*>(destination);
  if (size < 0) {
    if (length > static_cast<ULONG>(-int64_t{size})) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(out, data.data(), length);
    return STATUS_SUCCESS;
  }
  if (uint64_t{length} + 2 * sizeof(ULONG) > static_cast<ULONG>(size)) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(out, &length, sizeof(ULONG));
  std::memcpy(out + sizeof(ULONG), &type, sizeof(ULONG));
  std::memcpy(out + 2 * sizeof(ULONG), data.data(), length);
  return STATUS_SUCCESS;
}

struct Query {
  PVOID context;
  PVOID environment;
};

// One value as the table entry receives it: REG_EXPAND_SZ expanded and REG_MULTI_SZ one string
// at a time (both as REG_SZ) unless NOEXPAND; a string always ends with its NUL.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE& entry, PWSTR name, ULONG type, std::vector<uint8_t> data,
                 const Query& query) {
  if (IsString(type) && (data.size() < sizeof(WCHAR) || data.size() % 2 ||
                         data[data.size() - 1] != 0 || data[data.size() - 2] != 0)) {
    data.resize(data.size() & ~size_t(1));
    data.insert(data.end(), {0, 0});
  }
  auto call = [&](ULONG deliveredType, std::vector<uint8_t> bytes) -> NTSTATUS {
    if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(entry.EntryContext, deliveredType, bytes);
    return entry.QueryRoutine(name, deliveredType, bytes.data(), static_cast<ULONG>(bytes.size()), query.context,
                              entry.EntryContext);
  };
  if (!(entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
    if (type == REG_MULTI_SZ) {
      const std::u16string block = Chars(data);
      for (size_t start = 0; start < block.size() && block[start];) {
        const size_t end = block.find(u'\0', start);
        NTSTATUS status = call(REG_SZ, Bytes(std::u16string_view(block).substr(start, end - start + 1)));
        if (!NT_SUCCESS(status)) return status;
        start = end + 1;
      }
      return STATUS_SUCCESS;
    }
    if (type == REG_EXPAND_SZ) {
      std::u16string text = Chars(data);
      text = Expand(text.substr(0, text.find(u'\0')), query.environment);
      text.push_back(u'\0');
      return call(REG_SZ, Bytes(text));
    }
  }
  return call(type, std::move(data));
}

// The entry's default, in place of a value that is not there.
NTSTATUS DeliverDefault(const RTL_QUERY_REGISTRY_TABLE& entry, const Query& query) {
  if (entry.DefaultType == REG_NONE) return STATUS_SUCCESS;
  const auto* bytes = static_cast<const uint8_t*>(entry.DefaultData);
  ULONG length = entry.DefaultLength;
  if (length == 0 && bytes && (entry.DefaultType == REG_SZ || entry.DefaultType == REG_EXPAND_SZ)) {
    length = static_cast<ULONG>((std::u16string_view(static_cast<PCWSTR>(entry.DefaultData)).size() + 1) * sizeof(WCHAR));
  } else if (length == 0 && bytes && entry.DefaultType == REG_MULTI_SZ) {
    auto* text = static_cast<PCWSTR>(entry.DefaultData);
    size_t chars = 0;
    while (text[chars] || text[chars + 1]) ++chars;
    length = static_cast<ULONG>((chars + 2) * sizeof(WCHAR));
  }
  if (!bytes && length) return STATUS_INVALID_PARAMETER;
  return Deliver(entry, const_cast<PWSTR>(entry.Name), entry.DefaultType,
                 bytes ? std::vector<uint8_t>(bytes, bytes + length) : std::vector<uint8_t>{}, query);
}

NTSTATUS QueryNamed(const RTL_QUERY_REGISTRY_TABLE& entry, Key& key, const Query& query) {
  const sim::registry::Value* value = key.FindValue(Text(entry.Name));
  if (!value) {
    if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
    return DeliverDefault(entry, query);
  }
  const std::u16string name = value->name;
  NTSTATUS status = Deliver(entry, const_cast<PWSTR>(entry.Name), value->type, value->data, query);
  if (NT_SUCCESS(status) && (entry.Flags & RTL_QUERY_REGISTRY_DELETE)) key.DeleteValue(name);
  return status;
}

NTSTATUS QueryAll(const RTL_QUERY_REGISTRY_TABLE& entry, Key& key, const Query& query) {
  const std::vector<sim::registry::Value> values = key.values;  // the routine may change the key
  if (values.empty() && (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED)) return STATUS_OBJECT_NAME_NOT_FOUND;
  for (const auto& value : values) {
    std::u16string name = value.name;
    NTSTATUS status = Deliver(entry, name.data(), value.type, value.data, query);
    if (!NT_SUCCESS(status)) return status;
    if (entry.Flags & RTL_QUERY_REGISTRY_DELETE) key.DeleteValue(value.name);
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment) {
  CheckPassive("RtlQueryRegistryValues");
  if (!QueryTable) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<Key> top;
  NTSTATUS status = OpenRelative(RelativeTo, Path, false, "RtlQueryRegistryValues", &top);
  if (!NT_SUCCESS(status)) return (RelativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS : status;
  const Query query{Context, Environment};
  std::shared_ptr<Key> current = top;
  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
       entry->QueryRoutine || (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT)); ++entry) {
    if ((entry->Flags & RTL_QUERY_REGISTRY_DIRECT) &&
        (!entry->Name || (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) || entry->QueryRoutine))
      return STATUS_INVALID_PARAMETER;
    if (entry->Flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY)) current = top;
    if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      status = Walk(top, Text(entry->Name), false, false, &current, nullptr);
      if (!NT_SUCCESS(status)) return status;
    }
    if (current->deleted) return STATUS_KEY_DELETED;
    if (!entry->QueryRoutine && !(entry->Flags & RTL_QUERY_REGISTRY_DIRECT)) continue;
    if (!(entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) && entry->Name)
      status = QueryNamed(*entry, *current, query);
    else if (entry->Flags & RTL_QUERY_REGISTRY_NOVALUE)
      status = entry->QueryRoutine(const_cast<PWSTR>(entry->Name), REG_NONE, nullptr, 0, Context, entry->EntryContext);
    else
      status = QueryAll(*entry, *current, query);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
  CheckPassive("RtlWriteRegistryValue");
  if (ValueLength && !ValueData) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<Key> key;
  NTSTATUS status = OpenRelative(RelativeTo, Path, true, "RtlWriteRegistryValue", &key);
  if (!NT_SUCCESS(status)) return status;
  const auto* bytes = static_cast<const uint8_t*>(ValueData);
  key->SetValue(Text(ValueName), ValueType, std::vector<uint8_t>(bytes, bytes + ValueLength));
  return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  CheckPassive("RtlDeleteRegistryValue");
  std::shared_ptr<Key> key;
  NTSTATUS status = OpenRelative(RelativeTo, Path, false, "RtlDeleteRegistryValue", &key);
  if (!NT_SUCCESS(status)) return status;
  return key->DeleteValue(Text(ValueName)) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
  CheckPassive("RtlCheckRegistryKey");
  std::shared_ptr<Key> key;
  return OpenRelative(RelativeTo, Path, false, "RtlCheckRegistryKey", &key);
}
