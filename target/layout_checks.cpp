// The i386 layout of every record the driver shares with the system or the adapter, as the
// DDK declares it, held against the headers the target build compiles with: a header that
// differs cannot go unnoticed. Compiled by the target check only; it generates no code.
#include "adapter/firmware_record.h"
#include "command/protocol.h"
#include "platform/platform.h"

#define LAYOUT(type, size) static_assert(sizeof(type) == (size), #type " is " #size " bytes on i386")
#define AT(type, field, offset) \
  static_assert(FIELD_OFFSET(type, field) == (offset), #type "." #field " is at " #offset " on i386")

static_assert(sizeof(PVOID) == 4 && sizeof(ULONG) == 4 && sizeof(ULONG_PTR) == 4, "an i386 build");

// USB requests: the header, then each function's body; the bus driver reads them in place.
LAYOUT(URB, 96);
LAYOUT(struct _URB_HEADER, 16);
AT(struct _URB_HEADER, Function, 2);
AT(struct _URB_HEADER, Status, 4);
LAYOUT(struct _URB_BULK_OR_INTERRUPT_TRANSFER, 72);
AT(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle, 16);
AT(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags, 20);
AT(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength, 24);
AT(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer, 28);
LAYOUT(struct _URB_CONTROL_DESCRIPTOR_REQUEST, 80);
AT(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength, 24);
AT(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index, 74);
AT(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType, 75);
AT(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId, 76);
LAYOUT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, 80);
AT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags, 20);
AT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request, 73);
AT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value, 74);
AT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index, 76);
LAYOUT(struct _URB_PIPE_REQUEST, 24);
AT(struct _URB_PIPE_REQUEST, PipeHandle, 16);
LAYOUT(struct _URB_SELECT_CONFIGURATION, 60);
AT(struct _URB_SELECT_CONFIGURATION, ConfigurationHandle, 20);
AT(struct _URB_SELECT_CONFIGURATION, Interface, 24);
LAYOUT(USBD_INTERFACE_INFORMATION, 36);
AT(USBD_INTERFACE_INFORMATION, InterfaceHandle, 8);
AT(USBD_INTERFACE_INFORMATION, NumberOfPipes, 12);
AT(USBD_INTERFACE_INFORMATION, Pipes, 16);
LAYOUT(USBD_PIPE_INFORMATION, 20);
AT(USBD_PIPE_INFORMATION, PipeType, 4);
AT(USBD_PIPE_INFORMATION, PipeHandle, 8);
AT(USBD_PIPE_INFORMATION, MaximumTransferSize, 12);

// USB descriptors: byte-packed, as on the bus.
LAYOUT(USB_DEVICE_DESCRIPTOR, 18);
AT(USB_DEVICE_DESCRIPTOR, idProduct, 10);
AT(USB_DEVICE_DESCRIPTOR, iSerialNumber, 16);
LAYOUT(USB_CONFIGURATION_DESCRIPTOR, 9);
AT(USB_CONFIGURATION_DESCRIPTOR, wTotalLength, 2);
LAYOUT(USB_INTERFACE_DESCRIPTOR, 9);
LAYOUT(USB_ENDPOINT_DESCRIPTOR, 7);
AT(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize, 4);
LAYOUT(USB_STRING_DESCRIPTOR, 4);

// Kernel records the driver fills in for the system.
LAYOUT(WORK_QUEUE_ITEM, 16);
LAYOUT(DEVICE_RELATIONS, 8);
AT(DEVICE_RELATIONS, Objects, 4);
LAYOUT(PNP_BUS_INFORMATION, 24);
AT(PNP_BUS_INFORMATION, LegacyBusType, 16);
LAYOUT(DEVICE_CAPABILITIES, 64);
AT(DEVICE_CAPABILITIES, Address, 8);
AT(DEVICE_CAPABILITIES, DeviceState, 16);
AT(DEVICE_CAPABILITIES, SystemWake, 44);
AT(DEVICE_CAPABILITIES, D1Latency, 52);

// Serial records, copied to and from applications' buffers.
LAYOUT(SERIAL_BAUD_RATE, 4);
LAYOUT(SERIAL_LINE_CONTROL, 3);
LAYOUT(SERIAL_TIMEOUTS, 20);
LAYOUT(SERIAL_CHARS, 6);
LAYOUT(SERIAL_HANDFLOW, 16);
AT(SERIAL_HANDFLOW, XonLimit, 8);
LAYOUT(SERIAL_QUEUE_SIZE, 8);
LAYOUT(SERIALPERF_STATS, 24);
LAYOUT(SERIAL_STATUS, 20);
AT(SERIAL_STATUS, EofReceived, 16);
LAYOUT(SERIAL_COMMPROP, 64);
AT(SERIAL_COMMPROP, SettableData, 40);
AT(SERIAL_COMMPROP, CurrentTxQueue, 44);
AT(SERIAL_COMMPROP, ProvChar, 60);
LAYOUT(SERIAL_BASIC_SETTINGS, 44);

// WMI: the registration records and the blocks WMI consumers read.
LAYOUT(WMIGUIDREGINFO, 12);
LAYOUT(WMILIB_CONTEXT, 32);
LAYOUT(SERIAL_WMI_COMM_DATA, 64);
AT(SERIAL_WMI_COMM_DATA, ParityCheckEnable, 12);
AT(SERIAL_WMI_COMM_DATA, Support16BitMode, 48);
AT(SERIAL_WMI_COMM_DATA, IsBusy, 60);
LAYOUT(SERIAL_WMI_HW_DATA, 40);
AT(SERIAL_WMI_HW_DATA, IrqAffinityMask, 16);
AT(SERIAL_WMI_HW_DATA, InterruptType, 24);
AT(SERIAL_WMI_HW_DATA, BaseIOAddress, 32);
LAYOUT(SERIAL_WMI_PERF_DATA, 24);

// The adapter's records: the firmware images' records and the configuration payload.
LAYOUT(FirmwareRecord, 22);
AT(FirmwareRecord, Address, 2);
AT(FirmwareRecord, Type, 4);
AT(FirmwareRecord, Data, 5);
LAYOUT(PortConfigBlock, 13);
AT(PortConfigBlock, BaudRate, 1);
AT(PortConfigBlock, Handshake, 11);
LAYOUT(PortStatusSnapshot, 6);
