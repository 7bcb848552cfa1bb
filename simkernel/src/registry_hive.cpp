// The hive: keys, values, path resolution, handles, and the host-side view of it.
#include <algorithm>
#include <cstring>

#include "registry_internal.h"

namespace sim::reg {
namespace {

constexpr uintptr_t kKernelHandleBit = 0x80000000u;

std::shared_ptr<Key> NewKey(std::u16string_view name) {
  auto key = std::make_shared<Key>();
  key->name = std::u16string(name);
  return key;
}

void MarkDeleted(Key& key) {
  key.deleted = true;
  for (auto& [folded, child] : key.subkeys) MarkDeleted(*child);
}

// The key a host path names, or null.
std::shared_ptr<Key> Find(std::u16string_view absolute) {
  std::shared_ptr<Key> key;
  return NT_SUCCESS(WalkAbsolute(absolute, false, false, &key, nullptr)) ? key : nullptr;
}

}  // namespace

registry::Value* Key::FindValue(std::u16string_view name) {
  const std::u16string folded = iom::Fold(name);
  for (auto& value : values)
    if (iom::Fold(value.name) == folded) return &value;
  return nullptr;
}

void Key::SetValue(std::u16string_view name, ULONG type, std::vector<uint8_t> data) {
  if (registry::Value* value = FindValue(name)) {
    value->type = type;
    value->data = std::move(data);
    return;
  }
  values.push_back({std::u16string(name), type, std::move(data)});
}

bool Key::DeleteValue(std::u16string_view name) {
  registry::Value* value = FindValue(name);
  if (!value) return false;
  values.erase(values.begin() + (value - values.data()));
  return true;
}

RegistryState::RegistryState() : root(NewKey(u"REGISTRY")) {
  for (std::u16string_view path :
       {registry::kServices, registry::kControl, registry::kEnum, registry::kDeviceMap,
        std::u16string_view(u"\\REGISTRY\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion"),
        std::u16string_view(u"\\REGISTRY\\User\\.DEFAULT")}) {
    std::shared_ptr<Key> key = root;
    std::vector<std::u16string_view> parts;
    SplitPath(path.substr(std::u16string_view(u"\\REGISTRY\\").size()), &parts);
    for (auto part : parts) {
      auto& slot = key->subkeys[iom::Fold(part)];
      if (!slot) slot = NewKey(part);
      key = slot;
    }
  }
}

RegistryState& Registry() { return Machine::Current().State<RegistryState>(); }

bool SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts) {
  parts->clear();
  if (path.empty()) return true;
  size_t start = 0;
  for (;;) {
    size_t end = path.find(u'\\', start);
    std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? end : end - start);
    if (part.empty()) return false;
    parts->push_back(part);
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
}

NTSTATUS Walk(const std::shared_ptr<Key>& base, std::u16string_view path, bool create, bool isVolatile,
              std::shared_ptr<Key>* key, bool* created) {
  if (created) *created = false;
  std::vector<std::u16string_view> parts;
  if (!SplitPath(path, &parts)) return STATUS_OBJECT_NAME_INVALID;
  if (base->deleted) return STATUS_KEY_DELETED;
  std::shared_ptr<Key> current = base;
  for (size_t i = 0; i < parts.size(); ++i) {
    auto found = current->subkeys.find(iom::Fold(parts[i]));
    if (found != current->subkeys.end()) {
      current = found->second;
      continue;
    }
    if (!create || i + 1 < parts.size()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (current == Registry().root) return STATUS_ACCESS_DENIED;  // only the system mounts hives
    if (current->isVolatile && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
    auto child = NewKey(parts[i]);
    child->isVolatile = isVolatile;
    current->subkeys.emplace(iom::Fold(parts[i]), child);
    current = child;
    if (created) *created = true;
  }
  *key = current;
  return STATUS_SUCCESS;
}

NTSTATUS WalkAbsolute(std::u16string_view name, bool create, bool isVolatile, std::shared_ptr<Key>* key,
                      bool* created) {
  if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  constexpr std::u16string_view kRoot = u"\\REGISTRY";
  const std::u16string folded = iom::Fold(name);
  if (!folded.starts_with(kRoot)) return STATUS_OBJECT_PATH_NOT_FOUND;  // not the registry's directory
  std::u16string_view rest = name.substr(kRoot.size());
  if (!rest.empty()) {
    if (rest[0] != u'\\') return STATUS_OBJECT_PATH_NOT_FOUND;
    rest.remove_prefix(1);
    if (rest.empty()) return STATUS_OBJECT_NAME_INVALID;
  }
  return Walk(Registry().root, rest, create, isVolatile, key, created);
}

std::shared_ptr<Key> CreatePath(std::u16string_view absolute) {
  const std::u16string folded = iom::Fold(absolute);
  if (!folded.starts_with(u"\\REGISTRY\\MACHINE") && !folded.starts_with(u"\\REGISTRY\\USER")) return nullptr;
  std::vector<std::u16string_view> parts;
  if (!SplitPath(absolute.substr(std::u16string_view(u"\\REGISTRY\\").size()), &parts)) return nullptr;
  if (iom::Fold(parts[0]) != u"MACHINE" && iom::Fold(parts[0]) != u"USER") return nullptr;
  std::shared_ptr<Key> key = Registry().root;
  for (auto part : parts) {
    auto& slot = key->subkeys[iom::Fold(part)];
    if (!slot) {
      slot = NewKey(part);
      slot->isVolatile = key->isVolatile;
    }
    key = slot;
  }
  return key;
}

HANDLE OpenHandle(std::shared_ptr<Key> key, ACCESS_MASK access, std::u16string path) {
  RegistryState& registry = Registry();
  const uintptr_t value = kKernelHandleBit | (registry.nextHandle++ << 2);
  registry.handles.emplace(value, Handle{std::move(key), access, iom::RunningDriver(), std::move(path), false});
  return reinterpret_cast<HANDLE>(value);
}

Handle* LookupHandle(HANDLE handle, const char* call) {
  auto& handles = Registry().handles;
  auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it != handles.end()) return &it->second;
  Machine::Current().Report("registry routine on invalid handle",
                            std::string(call) + " on handle " + std::to_string(reinterpret_cast<uintptr_t>(handle)) +
                                ", never opened or already closed");
  return nullptr;
}

ACCESS_MASK GrantedAccess(ACCESS_MASK desired) {
  if (desired & (MAXIMUM_ALLOWED | GENERIC_ALL)) return KEY_ALL_ACCESS;
  ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE);
  if (desired & GENERIC_READ) granted |= KEY_READ;
  if (desired & GENERIC_WRITE) granted |= KEY_WRITE;
  if (desired & GENERIC_EXECUTE) granted |= KEY_EXECUTE;
  return granted;
}

void CheckPassive(const char* call) {
  Machine& machine = Machine::Current();
  Task* task = machine.CurrentTask();
  if (!task) return;
  task->currentCall = call;
  if (task->irql != PASSIVE_LEVEL)
    machine.Report("registry routine above PASSIVE_LEVEL", std::string(call) + " at IRQL " + std::to_string(task->irql));
}

bool Text(PCUNICODE_STRING string, std::u16string* text) {
  text->clear();
  if (!string) return false;
  if ((string->Length & 1) || string->Length > string->MaximumLength || (string->Length && !string->Buffer)) return false;
  text->assign(string->Buffer ? string->Buffer : u"", string->Length / sizeof(WCHAR));
  return true;
}

std::u16string Text(PCWSTR string) { return string ? std::u16string(string) : std::u16string(); }

}  // namespace sim::reg

namespace sim::iom {

void ReportRegistryHandlesAtUnload(PDRIVER_OBJECT driver) {
  for (auto& [value, handle] : reg::Registry().handles) {
    if (handle.reported || (handle.owner && handle.owner != driver)) continue;
    handle.reported = true;
    Report("registry handle leaked at unload",
           "handle " + std::to_string(value) + " on " + Narrow(handle.path) +
               (handle.owner ? "" : " (opened outside any driver's code)"));
  }
}

}  // namespace sim::iom

namespace sim::registry {

using reg::Find;
using reg::Key;

bool CreateKey(std::u16string_view path) { return reg::CreatePath(path) != nullptr; }

bool KeyExists(std::u16string_view path) { return Find(path) != nullptr; }

bool DeleteKey(std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  const std::u16string folded = iom::Fold(path);
  if (!folded.starts_with(u"\\REGISTRY\\") || !reg::SplitPath(path.substr(10), &parts) || parts.size() < 2)
    return false;  // the hives themselves stay
  std::shared_ptr<Key> parent;
  const size_t cut = path.size() - parts.back().size() - 1;
  if (!NT_SUCCESS(reg::WalkAbsolute(path.substr(0, cut), false, false, &parent, nullptr))) return false;
  auto it = parent->subkeys.find(iom::Fold(parts.back()));
  if (it == parent->subkeys.end()) return false;
  reg::MarkDeleted(*it->second);
  parent->subkeys.erase(it);
  return true;
}

std::vector<std::u16string> SubKeys(std::u16string_view path) {
  std::vector<std::u16string> names;
  if (auto key = Find(path))
    for (auto& [folded, child] : key->subkeys) names.push_back(child->name);
  return names;
}

bool SetValue(std::u16string_view path, std::u16string_view name, ULONG type, std::span<const uint8_t> data) {
  auto key = reg::CreatePath(path);
  if (!key) return false;
  key->SetValue(name, type, std::vector<uint8_t>(data.begin(), data.end()));
  return true;
}

bool SetDword(std::u16string_view path, std::u16string_view name, ULONG value) {
  uint8_t bytes[sizeof(ULONG)];
  std::memcpy(bytes, &value, sizeof bytes);
  return SetValue(path, name, REG_DWORD, bytes);
}

bool SetSz(std::u16string_view path, std::u16string_view name, std::u16string_view text, ULONG type) {
  std::u16string terminated(text);
  terminated.push_back(u'\0');
  return SetValue(path, name, type,
                  std::span(reinterpret_cast<const uint8_t*>(terminated.data()), terminated.size() * sizeof(WCHAR)));
}

bool SetMultiSz(std::u16string_view path, std::u16string_view name, const std::vector<std::u16string>& strings) {
  std::u16string block;
  for (const auto& string : strings) {
    block += string;
    block.push_back(u'\0');
  }
  block.push_back(u'\0');
  return SetValue(path, name, REG_MULTI_SZ,
                  std::span(reinterpret_cast<const uint8_t*>(block.data()), block.size() * sizeof(WCHAR)));
}

std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name) {
  auto key = Find(path);
  if (!key) return std::nullopt;
  Value* value = key->FindValue(name);
  if (!value) return std::nullopt;
  return *value;
}

std::optional<ULONG> GetDword(std::u16string_view path, std::u16string_view name) {
  auto value = GetValue(path, name);
  if (!value || value->type != REG_DWORD || value->data.size() != sizeof(ULONG)) return std::nullopt;
  ULONG result;
  std::memcpy(&result, value->data.data(), sizeof result);
  return result;
}

std::optional<std::u16string> GetSz(std::u16string_view path, std::u16string_view name) {
  auto value = GetValue(path, name);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string text(value->data.size() / sizeof(WCHAR), u'\0');
  std::memcpy(text.data(), value->data.data(), text.size() * sizeof(WCHAR));
  return text.substr(0, text.find(u'\0'));
}

bool DeleteValue(std::u16string_view path, std::u16string_view name) {
  auto key = Find(path);
  return key && key->DeleteValue(name);
}

std::vector<Value> Values(std::u16string_view path) {
  auto key = Find(path);
  return key ? key->values : std::vector<Value>{};
}

size_t OpenHandleCount() { return reg::Registry().handles.size(); }

}  // namespace sim::registry
