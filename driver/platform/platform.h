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
#include <ddk/usbdlib.h>
#include <wmistr.h>
#include <ddk/wmilib.h>
#include <ntddser.h>

// The DDK's ntddser.h declares the serial WMI blocks; the toolchain's copy stops short of them.
#define SERIAL_WMI_PARITY_NONE 0U
#define SERIAL_WMI_PARITY_ODD 1U
#define SERIAL_WMI_PARITY_EVEN 2U
#define SERIAL_WMI_PARITY_SPACE 3U
#define SERIAL_WMI_PARITY_MARK 4U
#define SERIAL_WMI_STOP_1 0U
#define SERIAL_WMI_STOP_1_5 1U
#define SERIAL_WMI_STOP_2 2U
typedef enum _SERIAL_WMI_INTTYPE { SERIAL_WMI_INTTYPE_LATCHED = 0, SERIAL_WMI_INTTYPE_LEVEL = 1 } SERIAL_WMI_INTTYPE;
typedef struct _SERIAL_WMI_COMM_DATA {
  ULONG BaudRate;
  ULONG BitsPerByte;
  ULONG Parity;
  BOOLEAN ParityCheckEnable;
  ULONG StopBits;
  ULONG XoffCharacter;
  ULONG XoffXmitThreshold;
  ULONG XonCharacter;
  ULONG XonXmitThreshold;
  ULONG MaximumBaudRate;
  ULONG MaximumOutputBufferSize;
  ULONG MaximumInputBufferSize;
  BOOLEAN Support16BitMode;
  BOOLEAN SupportDTRDSR;
  BOOLEAN SupportIntervalTimeouts;
  BOOLEAN SupportParityCheck;
  BOOLEAN SupportRTSCTS;
  BOOLEAN SupportXonXoff;
  BOOLEAN SettableBaudRate;
  BOOLEAN SettableDataBits;
  BOOLEAN SettableFlowControl;
  BOOLEAN SettableParity;
  BOOLEAN SettableParityCheck;
  BOOLEAN SettableStopBits;
  BOOLEAN IsBusy;
} SERIAL_WMI_COMM_DATA, *PSERIAL_WMI_COMM_DATA;
typedef struct _SERIAL_WMI_HW_DATA {
  ULONG IrqNumber;
  ULONG IrqVector;
  ULONG IrqLevel;
  ULONGLONG IrqAffinity;
  SERIAL_WMI_INTTYPE InterruptType;
  ULONG_PTR BaseIOAddress;
} SERIAL_WMI_HW_DATA, *PSERIAL_WMI_HW_DATA;
typedef struct _SERIAL_WMI_PERF_DATA {
  ULONG ReceivedCount;
  ULONG TransmittedCount;
  ULONG FrameErrorCount;
  ULONG SerialOverrunErrorCount;
  ULONG BufferOverrunErrorCount;
  ULONG ParityErrorCount;
} SERIAL_WMI_PERF_DATA, *PSERIAL_WMI_PERF_DATA;
static_assert(sizeof(SERIAL_WMI_COMM_DATA) == 64 && sizeof(SERIAL_WMI_HW_DATA) == 32 &&
                  sizeof(SERIAL_WMI_PERF_DATA) == 24,
              "serial WMI block sizes");

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
