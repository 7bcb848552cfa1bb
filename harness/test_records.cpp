#include "test_records.h"

#include "command/command_queue.h"
#include "command/protocol.h"
#include "core/helpers.h"
#include "datapath/immediate.h"
#include "datapath/read.h"
#include "datapath/receive.h"
#include "datapath/write.h"
#include "port/port_pnp.h"
#include "port/wait_mask.h"

namespace harness {
namespace {

// Counted string over a host string that outlives the call using it.
UNICODE_STRING Counted(std::u16string& text) {
  UNICODE_STRING result;
  result.Buffer = reinterpret_cast<PWSTR>(text.data());
  result.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  result.MaximumLength = result.Length;
  return result;
}

// A device whose record is zeroed with its header filled in: powered, in the given state.
NTSTATUS CreateDeviceWithRecord(PDRIVER_OBJECT driver, ULONG recordSize, std::u16string name, DEVICE_TYPE type,
                                BOOLEAN exclusive, BOOLEAN isAdapter, ULONG state, PDEVICE_OBJECT* device) {
  UNICODE_STRING counted = Counted(name);
  NTSTATUS status = IoCreateDevice(driver, recordSize, &counted, type, 0, exclusive, device);
  if (!NT_SUCCESS(status)) return status;
  auto* header = static_cast<DeviceExtensionHeader*>((*device)->DeviceExtension);
  RtlZeroMemory(header, recordSize);
  header->Self = *device;
  header->IsAdapter = isAdapter;
  header->DevicePnpState = state;
  header->SystemPowerState = PowerSystemWorking;
  header->DevicePowerState = PowerDeviceD0;
  return STATUS_SUCCESS;
}

void FreePortBlocks(PortExtension* p) {
  FreePoolAndClear(&p->DataWriteUrb);
  FreePoolAndClear(&p->DataReadUrb);
  FreePoolAndClear(&p->DataWriteBuffer);
  FreePoolAndClear(&p->DataReadBuffer);
  FreePoolAndClear(&p->WriteDrainWorkItem);
  FreePoolAndClear(&p->HardwareIds);
  FreePoolAndClear(&p->PortDeviceName.Buffer);
}

void SetPortDefaults(PortExtension* p, ULONG portNumber) {
  p->Config.PortNumber = static_cast<UCHAR>(portNumber);
  p->Config.BaudRate = 9600;
  p->Config.DataBits = 8;
  p->Config.StopBits = 1;
  p->Config.Parity = 'n';
  p->Config.FlowControl = 'n';
  p->Config.XoffChar = CONFIG_XOFF_CHAR;
  p->Config.XonChar = CONFIG_XON_CHAR;
  p->Config.Handshake = CONFIG_HANDSHAKE_INITIAL;
  p->IntervalPollShort.QuadPart = -1;
  p->IntervalPollLong.QuadPart = -10'000'000;
  p->IntervalPollCutOver.QuadPart = 200'000'000;
  p->SpecialChars.XonChar = CONFIG_XON_CHAR;
  p->SpecialChars.XoffChar = CONFIG_XOFF_CHAR;
  p->Handflow.ControlHandShake = SERIAL_DTR_CONTROL;
  p->Handflow.FlowReplace = SERIAL_RTS_CONTROL;
  p->SettableBaud = 0x1007FFFF;
}

}  // namespace

std::u16string ToU16(std::string_view text) { return std::u16string(text.begin(), text.end()); }

ULONG FreeAdapterSlot() {
  ULONG slot = 0;
  while (slot < MAX_ADAPTERS && AdapterTable[slot] != nullptr) ++slot;
  return slot;
}

NTSTATUS CreateAdapterRecord(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, ULONG slot, ULONG state,
                             AdapterExtension** adapter) {
  *adapter = nullptr;
  if (slot >= MAX_ADAPTERS || AdapterTable[slot] != nullptr) return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      CreateDeviceWithRecord(driver, sizeof(AdapterExtension), u"\\Device\\ZelBrUsb" + ToU16(std::to_string(slot)),
                             FILE_DEVICE_UNKNOWN, FALSE, TRUE, state, &device);
  if (!NT_SUCCESS(status)) return status;

  auto* a = static_cast<AdapterExtension*>(device->DeviceExtension);
  a->FunctionDeviceObject = device;
  a->PhysicalDeviceObject = pdo;
  a->AdapterIndex = slot;
  InitializeListHead(&a->ChildList);
  ExInitializeFastMutex(&a->ChildListMutex);
  a->PendingIoCount = 1;
  KeInitializeEvent(&a->NoPendingIoEvent, SynchronizationEvent, TRUE);
  KeInitializeEvent(&a->RemoveEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&a->ResponseResetEvent, NotificationEvent, FALSE);
  InitializeOwnedSpinLock(&a->AdapterLock);
  ExInitializeFastMutex(&a->OpenMutex);
  CommandChannelInitialize(a);
  a->MaximumTransferSize = 4096;
  AdapterTable[slot] = a;
  ++AdapterCount;
  a->LowerDevice = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  *adapter = a;
  return STATUS_SUCCESS;
}

NTSTATUS CreatePortRecord(PDRIVER_OBJECT driver, AdapterExtension* adapter, ULONG portNumber, std::u16string name,
                          ULONG state, PortExtension** port) {
  *port = nullptr;
  if (portNumber < 1 || portNumber > MAX_PORTS) return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = CreateDeviceWithRecord(driver, sizeof(PortExtension), name, FILE_DEVICE_SERIAL_PORT,
                                           TRUE, FALSE, state, &device);
  if (!NT_SUCCESS(status)) return status;

  auto* p = static_cast<PortExtension*>(device->DeviceExtension);
  p->ParentDeviceObject = adapter->Self;
  p->Present = TRUE;
  p->PortInstanceNumber = static_cast<ULONG>(InterlockedIncrement(&adapter->PortInstanceCounter));
  p->Adapter = adapter;
  p->PortDeviceObject = device;
  p->PortNumber = portNumber;

  InitializeListHead(&p->ReadQueue);
  InitializeListHead(&p->WriteQueue);
  InitializeListHead(&p->MaskQueue);
  InitializeListHead(&p->PurgeQueue);
  KeInitializeTimer(&p->ReadTotalTimer);
  KeInitializeTimer(&p->ReadIntervalTimer);
  KeInitializeTimer(&p->WriteTotalTimer);
  KeInitializeTimer(&p->ImmediateTimer);
  KeInitializeDpc(&p->ReadCompleteDpc, ReadCompleteDpc, p);
  KeInitializeDpc(&p->ReadTotalTimeoutDpc, ReadTotalTimeoutDpc, p);
  KeInitializeDpc(&p->ReadIntervalTimeoutDpc, ReadIntervalTimeoutDpc, p);
  KeInitializeDpc(&p->WriteCompleteDpc, WriteCompleteDpc, p);
  KeInitializeDpc(&p->WriteTimeoutDpc, WriteTimeoutDpc, p);
  KeInitializeDpc(&p->ImmediateCompleteDpc, ImmediateCompleteDpc, p);
  KeInitializeDpc(&p->ImmediateTimeoutDpc, ImmediateTimeoutDpc, p);
  KeInitializeDpc(&p->CommWaitDpc, CommWaitDpc, p);
  KeInitializeEvent(&p->EchoEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&p->DataWriteDoneEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&p->StatusEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&p->CommandDoneEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&p->PipeResetEvent, NotificationEvent, FALSE);
  InitializeOwnedSpinLock(&p->ReceiveLock);
  InitializeOwnedSpinLock(&p->WriteLock);
  InitializeOwnedSpinLock(&p->ControlLock);
  KeInitializeSpinLock(&p->WaitStateLock);
  KeInitializeEvent(&p->SettingsLock, SynchronizationEvent, TRUE);
  SetPortDefaults(p, portNumber);

  // The data path's blocks: the transfer URBs and landing buffers, allocated once per port,
  // and the write-drain work item. Without any of them the port cannot be set up.
  p->DataWriteUrb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), TAG_BR29));
  p->DataReadUrb = static_cast<PURB>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), TAG_BR30));
  p->DataWriteBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, WRITE_CHUNK_SIZE, TAG_BR31));
  p->DataReadBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, DATA_READ_SIZE, TAG_BR32));
  p->WriteDrainWorkItem = static_cast<PortWorkItem*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PortWorkItem), TAG_BR41));
  // The kernel name, as the naming links to it.
  p->PortDeviceName.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, (name.size() + 1) * 2, TAG_BR27));
  if (p->PortDeviceName.Buffer) {
    RtlZeroMemory(p->PortDeviceName.Buffer, (name.size() + 1) * 2);
    RtlCopyMemory(p->PortDeviceName.Buffer, name.data(), name.size() * 2);
    p->PortDeviceName.Length = USHORT(name.size() * 2);
    p->PortDeviceName.MaximumLength = USHORT((name.size() + 1) * 2);
  }
  // "ZELBUS\BRPORTS0n" and the second NUL of its MULTI_SZ.
  p->HardwareIds = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, 36, TAG_BR28));
  if (p->HardwareIds) {
    std::u16string id = u"ZELBUS\\BRPORTS0" + ToU16(std::to_string(portNumber));
    RtlZeroMemory(p->HardwareIds, 36);
    RtlCopyMemory(p->HardwareIds, id.data(), id.size() * sizeof(char16_t));
  }
  if (!p->DataWriteUrb || !p->DataReadUrb || !p->DataWriteBuffer || !p->DataReadBuffer || !p->WriteDrainWorkItem ||
      !p->HardwareIds || !p->PortDeviceName.Buffer) {
    FreePortBlocks(p);
    IoDeleteDevice(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(p->WriteDrainWorkItem, sizeof(PortWorkItem));
  p->WriteDrainWorkItem->Port = p;

  ExAcquireFastMutex(&adapter->ChildListMutex);
  InsertTailList(&adapter->ChildList, &p->AdapterLink);
  ++adapter->ChildCount;
  ExReleaseFastMutex(&adapter->ChildListMutex);
  adapter->Ports[portNumber - 1] = p;

  device->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  *port = p;
  return STATUS_SUCCESS;
}

void DeletePortRecord(PortExtension* port) {
  AdapterExtension* adapter = port->Adapter;
  ExAcquireFastMutex(&adapter->ChildListMutex);
  RemoveEntryList(&port->AdapterLink);
  --adapter->ChildCount;
  ExReleaseFastMutex(&adapter->ChildListMutex);
  PortDeleteDevice(port->Self, port);
}

void DeleteAdapterRecord(AdapterExtension* adapter) {
  if (adapter->LowerDevice) IoDetachDevice(adapter->LowerDevice);
  AdapterTable[adapter->AdapterIndex] = nullptr;
  --AdapterCount;
  IoDeleteDevice(adapter->Self);
}

}  // namespace harness
