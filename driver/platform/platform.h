// The one list of kernel, HAL, USB and WMI operations, types and constants the driver uses.
// On the target it is the DDK's; on the host, the simulated kernel's, with the same names,
// signatures and semantics. Driver code includes nothing else.
#pragma once

#if defined(_WIN32)
// The DDK's wdm.h redeclares two intrinsics that the compiler's intrin.h already defines.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/wdm.h>

#define WSTR(s) L##s
#define PAGED_ROUTINE __attribute__((section("PAGE")))
#define INIT_ROUTINE __attribute__((section("INIT")))
#else
#include "simkernel/wdm.h"

#define WSTR(s) u##s
#define PAGED_ROUTINE
#define INIT_ROUTINE
#endif
