// Host-side view of the simulated configuration registry: one hive per machine under
// \REGISTRY\Machine (and \REGISTRY\User\.DEFAULT), names case-insensitive and kept in the case
// they were created with, values stored as raw bytes with their type. Drivers see it only through
// Zw*Key, Rtl*Registry* and IoOpenDeviceRegistryKey.
//
// Paths here are absolute ("\REGISTRY\Machine\System\CurrentControlSet\Services\x"), matched
// without regard to case. Every routine may be called from the controlling thread or a task; none
// is a scheduling point.
//
// At boot the hive holds System\CurrentControlSet\{Control,Enum,Services},
// Software\Microsoft\Windows NT\CurrentVersion and HARDWARE\DEVICEMAP; LoadDriver creates the
// driver's service key when its registry path lies in the hive.
//
// Verifier rules reported by the registry (Machine::Report rule names):
//   "registry routine above PASSIVE_LEVEL"    "registry handle leaked at unload"
//   "invalid handle closed"                   "registry routine on invalid handle"
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "simkernel/wdm.h"

namespace sim::registry {

inline constexpr std::u16string_view kMachine = u"\\REGISTRY\\Machine";
inline constexpr std::u16string_view kCurrentControlSet = u"\\REGISTRY\\Machine\\System\\CurrentControlSet";
inline constexpr std::u16string_view kServices = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services";
inline constexpr std::u16string_view kControl = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Control";
inline constexpr std::u16string_view kEnum = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Enum";
// Setup class keys, one per class GUID ("{4d36e978-...}"): LowerFilters and UpperFilters there
// apply to every device of the class.
inline constexpr std::u16string_view kClassKeys = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Control\\Class";
inline constexpr std::u16string_view kDeviceMap = u"\\REGISTRY\\Machine\\HARDWARE\\DEVICEMAP";

struct Value {
  std::u16string name;  // "" is the key's default value
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

// Keys. CreateKey makes every missing component; false for a path outside \REGISTRY\Machine and
// \REGISTRY\User or with an empty component. DeleteKey removes the key with everything below it;
// handles still open on any of them then fail with STATUS_KEY_DELETED.
bool CreateKey(std::u16string_view path);
bool KeyExists(std::u16string_view path);
bool DeleteKey(std::u16string_view path);
std::vector<std::u16string> SubKeys(std::u16string_view path);  // names as created, sorted

// Values. Setters create the key (and its parents). The string forms store the terminating NUL,
// as the system's tools do; SetMultiSz adds the final empty string.
bool SetValue(std::u16string_view path, std::u16string_view name, ULONG type, std::span<const uint8_t> data);
bool SetDword(std::u16string_view path, std::u16string_view name, ULONG value);
bool SetSz(std::u16string_view path, std::u16string_view name, std::u16string_view text, ULONG type = REG_SZ);
bool SetMultiSz(std::u16string_view path, std::u16string_view name, const std::vector<std::u16string>& strings);
std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name);
std::optional<ULONG> GetDword(std::u16string_view path, std::u16string_view name);  // 4-byte REG_DWORD only
// REG_SZ or REG_EXPAND_SZ up to its first NUL.
std::optional<std::u16string> GetSz(std::u16string_view path, std::u16string_view name);
bool DeleteValue(std::u16string_view path, std::u16string_view name);
std::vector<Value> Values(std::u16string_view path);  // in the order they were first set

// Handles drivers hold open (ZwOpenKey, ZwCreateKey, IoOpenDeviceRegistryKey, not yet closed).
size_t OpenHandleCount();

// The hive as a disk image: every non-volatile key and value. Import replaces the whole hive of
// the current machine (a new machine given an earlier one's export has "rebooted"); false, and
// nothing changed, if the image is malformed. Open handles keep the keys they had.
std::vector<uint8_t> Export();
bool Import(std::span<const uint8_t> image);

// Plug and play: the device instance path of a physical device object, which makes it a device
// IoOpenDeviceRegistryKey and IoRegisterDeviceInterface accept. Creates Enum\<path>; a class
// GUID ("{4d36e978-e325-11ce-bfc1-08002be10318}") is stored as its ClassGUID value, from
// which the driver key Control\Class\<guid>\NNNN is made the first time a driver opens it.
void SetDeviceInstancePath(PDEVICE_OBJECT pdo, std::u16string_view instancePath, std::u16string_view classGuid = u"");
std::optional<std::u16string> DeviceInstancePath(PDEVICE_OBJECT pdo);

}  // namespace sim::registry
