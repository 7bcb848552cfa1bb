// Helpers for tests of the registry routines: counted strings over literals, keys opened by
// absolute name, and values read back as the host sees them.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "machine_fixture.h"
#include "simkernel/registry.h"

// A counted string over text that outlives it.
inline UNICODE_STRING U(const char16_t* text) {
  UNICODE_STRING string;
  RtlInitUnicodeString(&string, text);
  return string;
}

inline NTSTATUS OpenKey(const char16_t* path, HANDLE* handle, bool create = false, ULONG options = 0,
                        ULONG* disposition = nullptr, HANDLE root = nullptr) {
  UNICODE_STRING name = U(path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
  return create ? ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, options, disposition)
                : ZwOpenKey(handle, KEY_READ, &attributes);
}

inline std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) { return bytes; }

inline std::vector<uint8_t> StringBytes(std::u16string_view text) {
  std::vector<uint8_t> bytes(text.size() * sizeof(WCHAR));
  std::memcpy(bytes.data(), text.data(), bytes.size());
  return bytes;
}

inline std::u16string Text(const UNICODE_STRING& string) {
  return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

inline constexpr const char16_t* kParams = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\zel\\Parameters";
