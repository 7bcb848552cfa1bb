// The two device records (adapter and port), their common header, the records embedded in
// them and the driver-wide storage. Every device extension of this driver is one of the two.
#pragma once

#include "platform/platform.h"
#include "command/protocol.h"

// ---- Limits and markers ----------------------------------------------------------------
#define MAX_ADAPTERS 32
#define MAX_PORTS 4

// Bits of a current request's reference word: each one is a party that may still touch it.
#define REF_DATA_PATH 0x1
#define REF_CANCEL_ROUTINE 0x2
#define REF_TOTAL_TIMER 0x4
#define REF_INTERVAL_TIMER 0x8

// How a read ended while its interval timer was still running (PortExtension.ReadProgress).
#define READ_ENDED_CANCEL (-1)
#define READ_ENDED_TOTAL (-2)
#define READ_ENDED_COMPLETE (-3)

// What the port's one data OUT transfer in flight carries (PortExtension.WriteInFlight).
// Guarded by WriteLock. A chunk whose write was taken back by timeout or cancel becomes
// abandoned: its completion is not counted against any write.
#define WRITE_IN_FLIGHT_NONE 0
#define WRITE_IN_FLIGHT_CHUNK 1
#define WRITE_IN_FLIGHT_IMMEDIATE 2
#define WRITE_IN_FLIGHT_ABANDONED 3

// Modem outputs a port has set (PortExtension.OutputLines).
#define OUTPUT_LINE_DTR 0x01
#define OUTPUT_LINE_RTS 0x02
#define OUTPUT_LINE_BREAK 0x04

// Work the adapter's power worker has to do (AdapterExtension.PowerWork).
#define POWER_WORK_REQUEST_D0 0x01  // ask again for the power-up a wake could not have
#define POWER_WORK_RESUME 0x02      // start the transfers held while below D0

// ---- Pool tags ------------------------------------------------------------------------
// One tag per allocation site. The first character sits in the low byte, so pool dumps
// read "BRnn".
#define BR_POOL_TAG(Tens, Units) \
  ((ULONG)'B' | ((ULONG)'R' << 8) | ((ULONG)(UCHAR)(Tens) << 16) | ((ULONG)(UCHAR)(Units) << 24))

#define TAG_BR00 BR_POOL_TAG('0', '0')
#define TAG_BR01 BR_POOL_TAG('0', '1')
#define TAG_BR02 BR_POOL_TAG('0', '2')
#define TAG_BR03 BR_POOL_TAG('0', '3')
#define TAG_BR04 BR_POOL_TAG('0', '4')
#define TAG_BR05 BR_POOL_TAG('0', '5')
#define TAG_BR06 BR_POOL_TAG('0', '6')
#define TAG_BR07 BR_POOL_TAG('0', '7')
#define TAG_BR08 BR_POOL_TAG('0', '8')
#define TAG_BR09 BR_POOL_TAG('0', '9')
#define TAG_BR10 BR_POOL_TAG('1', '0')
#define TAG_BR11 BR_POOL_TAG('1', '1')
#define TAG_BR12 BR_POOL_TAG('1', '2')
#define TAG_BR13 BR_POOL_TAG('1', '3')
#define TAG_BR14 BR_POOL_TAG('1', '4')
#define TAG_BR15 BR_POOL_TAG('1', '5')
#define TAG_BR16 BR_POOL_TAG('1', '6')
#define TAG_BR17 BR_POOL_TAG('1', '7')
#define TAG_BR18 BR_POOL_TAG('1', '8')
#define TAG_BR19 BR_POOL_TAG('1', '9')
#define TAG_BR20 BR_POOL_TAG('2', '0')
#define TAG_BR21 BR_POOL_TAG('2', '1')
#define TAG_BR22 BR_POOL_TAG('2', '2')
#define TAG_BR23 BR_POOL_TAG('2', '3')
#define TAG_BR24 BR_POOL_TAG('2', '4')
#define TAG_BR25 BR_POOL_TAG('2', '5')
#define TAG_BR26 BR_POOL_TAG('2', '6')
#define TAG_BR27 BR_POOL_TAG('2', '7')
#define TAG_BR28 BR_POOL_TAG('2', '8')
#define TAG_BR29 BR_POOL_TAG('2', '9')
#define TAG_BR30 BR_POOL_TAG('3', '0')
#define TAG_BR31 BR_POOL_TAG('3', '1')
#define TAG_BR32 BR_POOL_TAG('3', '2')
#define TAG_BR33 BR_POOL_TAG('3', '3')
#define TAG_BR34 BR_POOL_TAG('3', '4')
#define TAG_BR35 BR_POOL_TAG('3', '5')
#define TAG_BR36 BR_POOL_TAG('3', '6')
#define TAG_BR37 BR_POOL_TAG('3', '7')
#define TAG_BR38 BR_POOL_TAG('3', '8')
#define TAG_BR39 BR_POOL_TAG('3', '9')
#define TAG_BR40 BR_POOL_TAG('4', '0')
#define TAG_BR41 BR_POOL_TAG('4', '1')

// ---- Plug-and-play states ----------------------------------------------------------------
// Values of DevicePnpState. Only the plug-and-play handlers write them.
enum DeviceState : ULONG {
  NotStarted = 0,
  Started = 1,
  StartFailed = 2,  // ports only
  StopPending = 3,
  Stopped = 4,
  RemovePending = 5,
  SurpriseRemoved = 6,
  Deleted = 7,
};

// ---- Embedded records --------------------------------------------------------------------
// A spin lock that knows its holder, so that code called back on the holder's own thread
// may "acquire" it again. There is no nesting count: the first release frees it.
struct OwnedSpinLock {
  KSPIN_LOCK Lock;
  KIRQL OldIrql;   // written by the holder, restored at release
  PKTHREAD Owner;  // NULL when free
};

// PortConfigBlock and PortStatusSnapshot are wire records: command/protocol.h.

struct PortExtension;
struct AdapterExtension;
struct CommandMessage;  // one queued command block (command channel)

// The port's write-drain work item: the system's item and the way back to the port.
struct PortWorkItem {
  WORK_QUEUE_ITEM Item;
  PortExtension* Port;
};

// ---- Device records ----------------------------------------------------------------------
// Both records start with this header, so the routing and the power code can read it
// before they know which record they hold.
struct DeviceExtensionHeader {
  PDEVICE_OBJECT Self;
  BOOLEAN IsAdapter;
  ULONG DevicePnpState;  // a DeviceState value
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
};

// The USB function device: one per adapter.
struct AdapterExtension : DeviceExtensionHeader {
  PDEVICE_OBJECT PhysicalDeviceObject;
  LIST_ENTRY ChildList;  // PortExtension records, through AdapterLink
  ULONG ChildCount;
  FAST_MUTEX ChildListMutex;  // guards ChildList and ChildCount
  LONG PendingIoCount;        // 1 when idle; 0 only after remove dropped the bias
  KEVENT NoPendingIoEvent;    // synchronization event: count back to 1
  UNICODE_STRING InterfaceName;
  LONG PortInstanceCounter;
  PCHAR SerialNumber;
  BOOLEAN FirmwareRunning;
  BOOLEAN PortsCreated;
  BOOLEAN AdapterRemoved;  // completion routines stop resubmitting
  ULONG AdapterIndex;
  ULONG PreviousPnpState;  // the state a query-stop or query-remove left, for its cancel
  PDEVICE_OBJECT FunctionDeviceObject;
  PDEVICE_OBJECT LowerDevice;  // target of every USB request
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
  PUSBD_INTERFACE_INFORMATION InterfaceInformation;
  PUSBD_PIPE_INFORMATION ResponsePipe;
  PUSBD_PIPE_INFORMATION CommandPipe;
  ULONG MaximumTransferSize;
  ULONG Map230K;
  ULONG Map460K;
  PortExtension* Ports[MAX_PORTS];  // port n at index n - 1
  LIST_ENTRY CommandQueue;
  CommandMessage* CurrentCommand;
  PURB CommandUrb;
  PIRP CommandIrp;
  BOOLEAN CommandBusy;
  PUCHAR ResponseBuffer;  // 64 bytes
  PURB ResponseUrb;
  PIRP ResponseIrp;
  ULONG PortCount;
  ULONG OpenPortCount;
  FAST_MUTEX OpenMutex;
  OwnedSpinLock AdapterLock;  // command queue, response read, port table during events
  KEVENT RemoveEvent;         // synchronization event: count reached 0
  KEVENT ResponseResetEvent;  // notification event
  BOOLEAN ResponseResetNeeded;
  // The command channel stalled (a failed transfer or allocation); the next command resets
  // the command pipe and sends the queue again. Guarded by AdapterLock.
  BOOLEAN CommandRestartNeeded;
  // Set by CommandChannelStop until the next start: nothing is queued, sent or read.
  BOOLEAN CommandChannelStopped;

  // Power: while the device is below D0 the ports' transfers and the command channel are
  // held, and they start again once it is back. PowerTransferLock (a synchronization event
  // used as a lock at PASSIVE_LEVEL) serialises holding, resuming and the plug-and-play
  // quiesce; TransfersHeld is guarded by AdapterLock.
  KEVENT PowerTransferLock;
  BOOLEAN TransfersHeld;
  // Work the power completions leave to a worker thread (POWER_WORK_ bits), guarded by
  // AdapterLock; the item, made at AddDevice, is queued at most once at a time.
  PIO_WORKITEM PowerWorkItem;
  ULONG PowerWork;
  BOOLEAN PowerWorkQueued;
};

// One serial port device: four per adapter.
struct PortExtension : DeviceExtensionHeader {
  // Identity
  PDEVICE_OBJECT ParentDeviceObject;
  PWSTR HardwareIds;  // one-entry MULTI_SZ
  ULONG PortInstanceNumber;
  LIST_ENTRY AdapterLink;
  BOOLEAN Present;
  AdapterExtension* Adapter;
  PDEVICE_OBJECT PortDeviceObject;

  // USB
  PUSBD_PIPE_INFORMATION DataInPipe;
  PUSBD_PIPE_INFORMATION DataOutPipe;

  // Open state. IsOpen and TransfersHeld are written under AdapterLock, ReceiveLock and
  // WriteLock together, so any one of them is enough to read them.
  BOOLEAN IsOpen;
  BOOLEAN TransfersHeld;  // the adapter is below D0: no data transfer is started
  ULONG PortNumber;  // 1..4

  // Settings
  PortConfigBlock Config;
  PortStatusSnapshot Status;

  // Read timing (100-ns units)
  ULONG64 ReadIntervalTime;
  LARGE_INTEGER IntervalPollShort;
  LARGE_INTEGER IntervalPollLong;
  LARGE_INTEGER IntervalPollCutOver;
  LARGE_INTEGER LastReceiveTime;
  PLARGE_INTEGER IntervalPoll;

  // Read and purge queues
  LIST_ENTRY ReadQueue;
  PIRP CurrentRead;
  PIRP CurrentPurge;

  // Receive buffer
  PUCHAR ReceiveBuffer;
  PUCHAR ReceiveTarget;
  ULONG ReceiveBufferCount;
  PUCHAR ReceivePut;
  PUCHAR ReceiveLast;
  PUCHAR ReceiveBufferGet;
  ULONG ReadRemaining;
  LONG ReadProgress;  // byte count at the last interval check, or a READ_ENDED_ marker
  ULONG ReceivedSinceTick;
  ULONG ReceiveBufferSize;  // 0 while closed

  // Read DPCs and timers
  KDPC ReadCompleteDpc;
  KDPC ReadTotalTimeoutDpc;
  KDPC ReadIntervalTimeoutDpc;
  KTIMER ReadTotalTimer;
  KTIMER ReadIntervalTimer;

  // Receive transfer
  PUCHAR DataReadBuffer;  // 64 bytes
  PURB DataReadUrb;
  PIRP DataReadIrp;
  KEVENT EchoEvent;  // notification event
  OwnedSpinLock ReceiveLock;

  // Write
  LIST_ENTRY WriteQueue;
  PIRP CurrentWrite;
  ULONG WriteRemaining;
  PUCHAR WriteNext;
  KDPC WriteCompleteDpc;
  KDPC WriteTimeoutDpc;
  KDPC ImmediateCompleteDpc;
  KTIMER WriteTotalTimer;
  ULONG QueuedCharCount;
  UCHAR WriteInFlight;        // a WRITE_IN_FLIGHT_ value
  ULONG WriteInFlightLength;  // bytes the transfer in flight carries
  BOOLEAN WriteToggles;       // the current write drops RTS when done (transmit toggle)
  PUCHAR DataWriteBuffer;  // 64 bytes
  PURB DataWriteUrb;
  PIRP DataWriteIrp;
  KEVENT DataWriteDoneEvent;  // notification event

  // Command waits (notification events)
  KEVENT PipeResetEvent;
  KEVENT StatusEvent;
  KEVENT CommandDoneEvent;
  OwnedSpinLock WriteLock;

  // Mask and purge
  LIST_ENTRY MaskQueue;
  LIST_ENTRY PurgeQueue;
  PIRP WaitIrp;
  PIRP ImmediateIrp;
  PIRP CurrentMask;
  // The wait state: WaitMask, EventHistory and WaitResult, and WaitIrp's information while the
  // wait is armed. Its writers run under different locks (the mask starter and cancellation
  // under the cancel spin lock, the receive path under ReceiveLock, the write path in its
  // DPCs, the event path and surprise removal under AdapterLock), so each of them also takes
  // WaitStateLock around its read-modify-write. It is the innermost lock: nothing else is
  // acquired while it is held. While WaitResult is set the data path holds a reference on
  // WaitIrp, so an armed WaitIrp cannot complete under a holder of this lock.
  KSPIN_LOCK WaitStateLock;
  ULONG WaitMask;
  ULONG EventHistory;
  PULONG WaitResult;
  KDPC CommWaitDpc;
  LONG DpcPendingCount;

  // Serial settings
  SERIAL_TIMEOUTS Timeouts;
  SERIAL_CHARS SpecialChars;
  SERIALPERF_STATS PerfStats;
  OwnedSpinLock ControlLock;
  // The modem outputs the application last set since the open (OUTPUT_LINE_ bits), guarded
  // by ControlLock: the adapter gets them again after a power-down.
  UCHAR OutputLines;
  // Serialises each settings change with the sending of its block, so the adapter never
  // keeps an older block than the port reports. A synchronization event used as a lock at
  // PASSIVE_LEVEL: a fast mutex would raise the IRQL and stop the pipe resets.
  KEVENT SettingsLock;
  SERIAL_HANDFLOW Handflow;
  ULONG ErrorFlags;  // SERIAL_ERROR_ bits since the last status query
  ULONG SettableBaud;

  // Names
  UNICODE_STRING SymbolicLinkName;
  UNICODE_STRING PortDeviceName;
  UNICODE_STRING ComName;
  UNICODE_STRING ComInterfaceName;
  BOOLEAN CreatedSymbolicLink;
  BOOLEAN CreatedSerialCommEntry;

  // Immediate character
  UCHAR ImmediateChar;
  UCHAR EscapeChar;
  BOOLEAN ImmediatePending;  // accepted, not yet handed to the bus
  NTSTATUS ImmediateStatus;  // what ImmediateCompleteDpc completes the request with
  KTIMER ImmediateTimer;
  KDPC ImmediateTimeoutDpc;

  // WMI. WmiRegistered is read and written only with interlocked operations: WMI requests
  // arrive on other threads than the start and the deletion that change it.
  WMILIB_CONTEXT WmiLibInfo;
  LONG WmiRegistered;
  UNICODE_STRING PortName;
  SERIAL_WMI_HW_DATA WmiHwData;
  SERIAL_WMI_PERF_DATA WmiPerfData;

  // Work item
  PortWorkItem* WriteDrainWorkItem;
};

// ---- Driver-wide storage (zero at load; no other globals) ---------------------------------
extern UNICODE_STRING DriverRegistryPath;
extern AdapterExtension* AdapterTable[MAX_ADAPTERS];
extern ULONG AdapterCount;
