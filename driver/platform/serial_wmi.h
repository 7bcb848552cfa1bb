// The serial WMI blocks (MSSerial_CommInfo, _HardwareConfiguration, _PerformanceInformation),
// declared by the DDK's ntddser.h. The cross toolchain's copy stops short of them, so both
// builds take them from here, in the i386 layout WMI consumers read.
#pragma once

#define SERIAL_WMI_PARITY_NONE 0U
#define SERIAL_WMI_PARITY_ODD 1U
#define SERIAL_WMI_PARITY_EVEN 2U
#define SERIAL_WMI_PARITY_SPACE 3U
#define SERIAL_WMI_PARITY_MARK 4U

#define SERIAL_WMI_STOP_1 0U
#define SERIAL_WMI_STOP_1_5 1U
#define SERIAL_WMI_STOP_2 2U

typedef enum _SERIAL_WMI_INTTYPE {
  SERIAL_WMI_INTTYPE_LATCHED = 0,
  SERIAL_WMI_INTTYPE_LEVEL = 1
} SERIAL_WMI_INTTYPE, *PSERIAL_WMI_INTTYPE;

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

// The MOF class's affinity mask and I/O address are 64-bit on every platform, so the block is
// 40 bytes on i386 as well (the DDK's wmidata.h lays it out so).
typedef struct _SERIAL_WMI_HW_DATA {
  ULONG IrqNumber;
  ULONG IrqVector;
  ULONG IrqLevel;
  ULONGLONG IrqAffinityMask;
  SERIAL_WMI_INTTYPE InterruptType;
  ULONGLONG BaseIOAddress;
} SERIAL_WMI_HW_DATA, *PSERIAL_WMI_HW_DATA;

typedef struct _SERIAL_WMI_PERF_DATA {
  ULONG ReceivedCount;
  ULONG TransmittedCount;
  ULONG FrameErrorCount;
  ULONG SerialOverrunErrorCount;
  ULONG BufferOverrunErrorCount;
  ULONG ParityErrorCount;
} SERIAL_WMI_PERF_DATA, *PSERIAL_WMI_PERF_DATA;

static_assert(sizeof(SERIAL_WMI_COMM_DATA) == 64, "MSSerial_CommInfo is 64 bytes");
static_assert(sizeof(SERIAL_WMI_HW_DATA) == 40, "MSSerial_HardwareConfiguration is 40 bytes");
static_assert(sizeof(SERIAL_WMI_PERF_DATA) == 24, "MSSerial_PerformanceInformation is 24 bytes");
