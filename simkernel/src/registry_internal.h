// Per-machine state of the registry, shared by registry_*.cpp and the I/O manager's parts that
// keep data in it (device interfaces).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "io_internal.h"
#include "simkernel/machine.h"
#include "simkernel/registry.h"

namespace sim::reg {

struct Key {
  std::u16string name;
  std::map<std::u16string, std::shared_ptr<Key>> subkeys;  // by folded name
  std::vector<registry::Value> values;                     // in the order first set
  bool deleted = false;
  bool isVolatile = false;

  registry::Value* FindValue(std::u16string_view name);
  void SetValue(std::u16string_view name, ULONG type, std::vector<uint8_t> data);
  bool DeleteValue(std::u16string_view name);
};

struct Handle {
  std::shared_ptr<Key> key;
  ACCESS_MASK access = 0;
  PDRIVER_OBJECT owner = nullptr;  // the driver whose code opened it; null outside any driver
  std::u16string path;             // for reports
  bool reported = false;           // already reported as leaked
};

struct RegistryState {
  std::shared_ptr<Key> root;  // \REGISTRY
  std::map<uintptr_t, Handle> handles;
  uintptr_t nextHandle = 1;
  std::unordered_map<PDEVICE_OBJECT, std::u16string> instancePaths;

  RegistryState();
  RegistryState(const RegistryState&) = delete;
  RegistryState& operator=(const RegistryState&) = delete;
};

RegistryState& Registry();

// Components of a relative path; false on an empty component (a doubled or trailing '\').
bool SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts);

// Opens (or creates the last component of) `path` below `base`. Intermediate keys must exist
// (STATUS_OBJECT_NAME_NOT_FOUND otherwise), as with ZwCreateKey.
NTSTATUS Walk(const std::shared_ptr<Key>& base, std::u16string_view path, bool create, bool isVolatile,
              std::shared_ptr<Key>* key, bool* created);
// The same from an absolute kernel name ("\REGISTRY\...").
NTSTATUS WalkAbsolute(std::u16string_view name, bool create, bool isVolatile, std::shared_ptr<Key>* key,
                      bool* created);
// Every component made as needed (host side and the I/O manager's own keys).
std::shared_ptr<Key> CreatePath(std::u16string_view absolute);

// Handles. Lookup reports "registry routine on invalid handle" for an unknown or closed one.
HANDLE OpenHandle(std::shared_ptr<Key> key, ACCESS_MASK access, std::u16string path);
Handle* LookupHandle(HANDLE handle, const char* call);
ACCESS_MASK GrantedAccess(ACCESS_MASK desired);

// Registry routines run at PASSIVE_LEVEL only; reports otherwise. Also names the call.
void CheckPassive(const char* call);

// A counted string's text; false when its fields contradict each other.
bool Text(PCUNICODE_STRING string, std::u16string* text);
// A NUL-terminated string's text.
std::u16string Text(PCWSTR string);

}  // namespace sim::reg
