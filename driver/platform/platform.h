// The one list of kernel, HAL, USB and WMI operations, types and constants the driver uses.
// On the target it is the DDK's; on the host, the simulated kernel's, with the same names,
// signatures and semantics. Driver code includes nothing else.
#pragma once

#if defined(_WIN32)
// The DDK's wdm.h redeclares two intrinsics that the compiler's intrin.h already defines.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ddk/wdm.h>
#include <usb.h>
#include <usbdi.h>
// Its declarations carry no C linkage of their own; the USBD library exports C names.
extern "C" {
#include <ddk/usbdlib.h>
}
#include <wmistr.h>
#include <ddk/wmilib.h>
#include <ntddser.h>

// PAGED_CODE comes from wdm.h: a check of the IRQL in checked builds, nothing in free builds.
#define WSTR(s) L##s
#define PAGED_ROUTINE __attribute__((section("PAGE")))
#define INIT_ROUTINE __attribute__((section("INIT")))
#else
#include "simkernel/wdm.h"
#include "simkernel/ntddser.h"
#include "simkernel/usb.h"
#include "simkernel/wmilib.h"

#define WSTR(s) u##s
#define PAGED_ROUTINE
#define INIT_ROUTINE

// The checked DDK's ASSERT (the target takes the DDK's own, empty in free builds, so the
// expression must have no side effect). Here a failure is a verifier report.
#define ASSERT(exp) \
  ((VOID)((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE))
#endif

#include "platform/serial_wmi.h"
