// Run-time library counted strings and _snprintf, with Windows semantics: lengths in bytes,
// no partial appends, NUL terminators only where they fit, _snprintf's -1 on truncation.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>

#include "simkernel/machine.h"
#include "simkernel/pool.h"

namespace {

constexpr USHORT kMaxStringBytes = 0xFFFC;  // room for the terminator within a USHORT

void ReportMalformed(const char* call, const char* what) {
  if (!sim::Machine::Exists()) return;
  sim::Machine& machine = sim::Machine::Current();
  if (sim::Task* task = machine.CurrentTask()) task->currentCall = call;
  machine.Report("malformed unicode string", std::string(call) + ": " + what);
}

// Length that can be used safely: reports a string whose fields contradict each other.
USHORT UsableLength(PCUNICODE_STRING string, const char* call) {
  if (!string) return 0;
  USHORT length = string->Length;
  if (length > string->MaximumLength) {
    ReportMalformed(call, "Length above MaximumLength");
    length = string->MaximumLength;
  }
  if (length & 1) {
    ReportMalformed(call, "odd Length");
    length &= ~1;
  }
  if (length && !string->Buffer) {
    ReportMalformed(call, "null Buffer with a non-zero Length");
    length = 0;
  }
  return length;
}

size_t WideLength(PCWSTR text) {
  size_t length = 0;
  while (text[length]) ++length;
  return length;
}

// NUL-terminates when a whole WCHAR fits after the text.
void Terminate(PUNICODE_STRING string) {
  if (string->Buffer && string->Length + sizeof(WCHAR) <= string->MaximumLength)
    string->Buffer[string->Length / sizeof(WCHAR)] = 0;
}

WCHAR Upcase(WCHAR c) {
  if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
  if (c == 0xFF) return 0x178;
  return c;
}

// ---- _snprintf and _snwprintf ------------------------------------------------------------------
// One formatter for both: it formats to wide text, which _snprintf narrows.

std::string Narrow(const WCHAR* text, size_t count) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) out.push_back(text[i] < 0x100 ? static_cast<char>(text[i]) : '?');
  return out;
}

std::u16string Widen(const char* text, size_t count) {
  std::u16string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) out.push_back(static_cast<unsigned char>(text[i]));
  return out;
}

std::u16string Widen(const std::string& text) { return Widen(text.data(), text.size()); }

void AppendPadded(std::u16string& out, std::u16string text, const std::string& flags, int width) {
  if (width > 0 && text.size() < static_cast<size_t>(width)) {
    const std::u16string pad(static_cast<size_t>(width) - text.size(), u' ');
    text = flags.find('-') != std::string::npos ? text + pad : pad + text;
  }
  out += text;
}

std::string FormatNumber(const std::string& flags, int width, int precision, char conversion, long long value,
                         bool isSigned) {
  std::string hostFormat = "%" + flags;
  if (width >= 0) hostFormat += std::to_string(width);
  if (precision >= 0) hostFormat += "." + std::to_string(precision);
  hostFormat += "ll";
  hostFormat.push_back(conversion);
  char buffer[128];
  if (isSigned)
    std::snprintf(buffer, sizeof buffer, hostFormat.c_str(), value);
  else
    std::snprintf(buffer, sizeof buffer, hostFormat.c_str(), static_cast<unsigned long long>(value));
  return buffer;
}

// In the wide functions %s and %c take wide text and %S and %C narrow, the other way round
// from the narrow ones; 'h' makes either narrow, 'l' and 'w' wide.
template <class Letter>
std::u16string Format(const Letter* format, va_list args, bool wideCaller) {
  std::u16string out;
  for (const Letter* p = format; *p; ++p) {
    if (*p != '%') {
      out.push_back(static_cast<char16_t>(static_cast<std::make_unsigned_t<Letter>>(*p)));
      continue;
    }
    ++p;
    if (*p == '%') {
      out.push_back(u'%');
      continue;
    }
    std::string flags;
    while (*p > 0 && *p < 0x80 && std::strchr("-+ #0", static_cast<char>(*p))) flags.push_back(static_cast<char>(*p++));
    int width = -1;
    if (*p == '*') {
      width = va_arg(args, int);
      if (width < 0) {
        flags.push_back('-');
        width = -width;
      }
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') width = (width < 0 ? 0 : width * 10) + (*p++ - '0');
    }
    int precision = -1;
    if (*p == '.') {
      ++p;
      precision = 0;
      if (*p == '*') {
        precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
      }
    }
    // Size prefixes as the Windows run-time library reads them: 'l' is 32 bits.
    enum class Size { Int, Short, Char, Long, LongLong, Pointer } size = Size::Int;
    bool wide = false;
    for (;;) {
      if (*p == 'h') {
        size = size == Size::Short ? Size::Char : Size::Short;
        ++p;
      } else if (*p == 'l') {
        if (p[1] == 'l') {
          size = Size::LongLong;
          p += 2;
        } else {
          size = Size::Long;
          wide = true;
          ++p;
        }
      } else if (*p == 'w') {
        wide = true;
        ++p;
      } else if (*p == 'I') {
        if (p[1] == '6' && p[2] == '4') {
          size = Size::LongLong;
          p += 3;
        } else if (p[1] == '3' && p[2] == '2') {
          size = Size::Long;
          p += 3;
        } else {
          size = Size::Pointer;
          ++p;
        }
      } else if (*p == 'z') {
        size = Size::Pointer;
        ++p;
      } else {
        break;
      }
    }
    if (!*p) break;
    const char conversion = *p < 0x80 ? static_cast<char>(*p) : '?';
    const bool narrowed = size == Size::Short || size == Size::Char;
    const bool wideArgument = wide || (!narrowed && (conversion == 'c' || conversion == 's') == wideCaller);
    switch (conversion) {
      case 'd':
      case 'i': {
        long long value;
        switch (size) {
          case Size::LongLong: value = va_arg(args, long long); break;
          case Size::Pointer: value = static_cast<long long>(va_arg(args, intptr_t)); break;
          case Size::Short: value = static_cast<short>(va_arg(args, int)); break;
          case Size::Char: value = static_cast<signed char>(va_arg(args, int)); break;
          default: value = va_arg(args, int); break;
        }
        out += Widen(FormatNumber(flags, width, precision, 'd', value, true));
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        unsigned long long value;
        switch (size) {
          case Size::LongLong: value = va_arg(args, unsigned long long); break;
          case Size::Pointer: value = va_arg(args, uintptr_t); break;
          case Size::Short: value = static_cast<unsigned short>(va_arg(args, unsigned)); break;
          case Size::Char: value = static_cast<unsigned char>(va_arg(args, unsigned)); break;
          default: value = va_arg(args, unsigned); break;
        }
        out += Widen(FormatNumber(flags, width, precision, conversion, static_cast<long long>(value), false));
        break;
      }
      case 'p': {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%016llX",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
        AppendPadded(out, Widen(buffer), flags, width);
        break;
      }
      case 'c':
      case 'C': {
        const int value = va_arg(args, int);
        const char16_t c = wideArgument ? static_cast<char16_t>(value) : static_cast<unsigned char>(value);
        AppendPadded(out, std::u16string(1, c), flags, width);
        break;
      }
      case 's':
      case 'S': {
        std::u16string text;
        if (wideArgument) {
          const WCHAR* value = va_arg(args, const WCHAR*);
          if (!value) {
            text = u"(null)";
          } else {
            size_t count = 0;
            while (value[count] && (precision < 0 || count < static_cast<size_t>(precision))) ++count;
            text.assign(value, count);
          }
        } else {
          const char* value = va_arg(args, const char*);
          if (!value) {
            text = u"(null)";
          } else {
            size_t count = 0;
            while (value[count] && (precision < 0 || count < static_cast<size_t>(precision))) ++count;
            text = Widen(value, count);
          }
        }
        AppendPadded(out, text, flags, width);
        break;
      }
      case 'Z': {
        std::u16string text = u"(null)";
        if (wide) {
          auto* value = va_arg(args, PCUNICODE_STRING);
          if (value && value->Buffer) text.assign(value->Buffer, value->Length / sizeof(WCHAR));
        } else {
          auto* value = va_arg(args, const ANSI_STRING*);
          if (value && value->Buffer) text = Widen(value->Buffer, value->Length);
        }
        AppendPadded(out, text, flags, width);
        break;
      }
      case 'n':
        (void)va_arg(args, void*);  // never written: a format must not write memory
        break;
      default:
        out.push_back(u'%');
        out.push_back(static_cast<char16_t>(static_cast<std::make_unsigned_t<Letter>>(*p)));
        break;
    }
  }
  return out;
}

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  const size_t bytes = std::min<size_t>(WideLength(SourceString) * sizeof(WCHAR), kMaxStringBytes);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
  DestinationString->Buffer = const_cast<PCHAR>(SourceString);
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  const size_t bytes = std::min<size_t>(std::strlen(SourceString), 0xFFFE);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  if (!SourceString) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = UsableLength(SourceString, "RtlCopyUnicodeString");
  bytes = std::min<USHORT>(bytes, DestinationString->MaximumLength & ~1);
  if (bytes) std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  Terminate(DestinationString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (!Source) return STATUS_SUCCESS;
  const USHORT have = UsableLength(Destination, "RtlAppendUnicodeToString");
  const size_t bytes = WideLength(Source) * sizeof(WCHAR);
  if (have + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<uint8_t*>(Destination->Buffer) + have, Source, bytes);
  Destination->Length = static_cast<USHORT>(have + bytes);
  Terminate(Destination);
  return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  const USHORT bytes = UsableLength(Source, "RtlAppendUnicodeStringToString");
  if (!bytes) return STATUS_SUCCESS;
  const USHORT have = UsableLength(Destination, "RtlAppendUnicodeStringToString");
  if (static_cast<size_t>(have) + bytes > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  std::memmove(reinterpret_cast<uint8_t*>(Destination->Buffer) + have, Source->Buffer, bytes);
  Destination->Length = static_cast<USHORT>(have + bytes);
  Terminate(Destination);
  return STATUS_SUCCESS;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, const ANSI_STRING* SourceString,
                                      BOOLEAN AllocateDestinationString) {
  const size_t chars = SourceString->Length;
  const size_t bytes = chars * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
  if (AllocateDestinationString) {
    auto* buffer = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), sim::pool::SystemStringTag()));
    if (!buffer) return STATUS_NO_MEMORY;
    DestinationString->Buffer = buffer;
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  } else if (bytes >= DestinationString->MaximumLength) {
    // Windows also wants room for the terminator here.
    return STATUS_BUFFER_OVERFLOW;
  }
  for (size_t i = 0; i < chars; ++i)
    DestinationString->Buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(SourceString->Buffer[i]));
  DestinationString->Length = static_cast<USHORT>(bytes);
  Terminate(DestinationString);
  return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[33];
  int count = 0;
  do {
    digits[count++] = "0123456789ABCDEF"[Value % Base];
    Value /= Base;
  } while (Value);
  const size_t bytes = static_cast<size_t>(count) * sizeof(WCHAR);
  if (bytes >= String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (int i = 0; i < count; ++i) String->Buffer[i] = static_cast<WCHAR>(digits[count - 1 - i]);
  String->Length = static_cast<USHORT>(bytes);
  Terminate(String);
  return STATUS_SUCCESS;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  const USHORT length1 = UsableLength(String1, "RtlCompareUnicodeString");
  const USHORT length2 = UsableLength(String2, "RtlCompareUnicodeString");
  const size_t count = std::min(length1, length2) / sizeof(WCHAR);
  for (size_t i = 0; i < count; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = Upcase(a);
      b = Upcase(b);
    }
    if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
  }
  return static_cast<LONG>(length1) - static_cast<LONG>(length2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
  if (UsableLength(String1, "RtlEqualUnicodeString") != UsableLength(String2, "RtlEqualUnicodeString")) return FALSE;
  return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

int _snprintf(char* Buffer, size_t Count, const char* Format, ...) {
  va_list args;
  va_start(args, Format);
  const std::u16string wide = Format ? ::Format(Format, args, false) : std::u16string();
  va_end(args);
  const std::string text = Narrow(wide.data(), wide.size());
  // Fits: copied with its terminator. Exactly Count characters: copied without one.
  // Longer: Count characters, no terminator, -1.
  if (text.size() < Count) {
    std::memcpy(Buffer, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
  }
  if (Count) std::memcpy(Buffer, text.data(), Count);
  return text.size() == Count ? static_cast<int>(Count) : -1;
}

int _snwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, ...) {
  va_list args;
  va_start(args, Format);
  const std::u16string text = Format ? ::Format(Format, args, true) : std::u16string();
  va_end(args);
  // As _snprintf, in characters.
  if (text.size() < Count) {
    std::memcpy(Buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return static_cast<int>(text.size());
  }
  if (Count) std::memcpy(Buffer, text.data(), Count * sizeof(WCHAR));
  return text.size() == Count ? static_cast<int>(Count) : -1;
}
