// The kernel names of the adapter's and its ports' device objects, written straight into a
// caller's wide buffer: "\Device\ZelBrUsb" + Middle (ASCII, may be NULL) + Number, with a
// '-' before the number when Dash is set. Truncated to fit, always NUL-terminated.
#pragma once

#include "platform/platform.h"

#define KERNEL_NAME_PREFIX "\\Device\\ZelBrUsb"

inline VOID FormatKernelName(PWSTR Buffer, ULONG CapacityChars, PCSTR Middle, BOOLEAN Dash, ULONG Number,
                             PUNICODE_STRING Name) {
  ULONG At = 0;
  const CHAR* Parts[2] = {KERNEL_NAME_PREFIX, Middle};
  for (ULONG p = 0; p < 2; p++) {
    for (const CHAR* c = Parts[p]; c != NULL && *c != 0 && At + 1 < CapacityChars; c++) {
      Buffer[At++] = (WCHAR)(UCHAR)*c;
    }
  }
  if (Dash && At + 1 < CapacityChars) {
    Buffer[At++] = L'-';
  }
  WCHAR Digits[10];
  ULONG Count = 0;
  do {
    Digits[Count++] = (WCHAR)(L'0' + Number % 10);
    Number /= 10;
  } while (Number != 0);
  while (Count > 0 && At + 1 < CapacityChars) {
    Buffer[At++] = Digits[--Count];
  }
  Buffer[At] = 0;
  Name->Buffer = Buffer;
  Name->Length = (USHORT)(At * sizeof(WCHAR));
  Name->MaximumLength = (USHORT)(CapacityChars * sizeof(WCHAR));
}
