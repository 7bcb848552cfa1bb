// Total timeouts of reads, writes and the immediate character: length x multiplier +
// constant milliseconds, as a relative due time in 100-ns units.
#pragma once

#include "core/records.h"

// The longest total timeout honoured: the product and the sum are formed in 64 bits and
// capped here, so the conversion to 100-ns units cannot overflow.
#define TOTAL_TIMEOUT_MAX_MILLISECONDS (0x7FFFFFFFFFFFFFFFULL / 10000)

inline LARGE_INTEGER TotalTimeoutDueTime(ULONG Length, ULONG Multiplier, ULONG Constant) {
  ULONG64 Milliseconds = (ULONG64)Length * (ULONG64)Multiplier + (ULONG64)Constant;
  if (Milliseconds > TOTAL_TIMEOUT_MAX_MILLISECONDS) {
    Milliseconds = TOTAL_TIMEOUT_MAX_MILLISECONDS;
  }
  LARGE_INTEGER DueTime;
  DueTime.QuadPart = -(LONGLONG)(Milliseconds * 10000);
  return DueTime;
}
