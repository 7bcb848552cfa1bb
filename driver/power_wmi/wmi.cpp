// The five standard serial WMI blocks of each started port, read-only. The WMI library does
// the protocol; the callbacks below answer from the port's current state.
#include "power_wmi/wmi.h"

#include "core/entry.h"
#include "core/helpers.h"
#include "port/status_requests.h"

#define WMI_PORT_NAME 0
#define WMI_COMM_INFO 1
#define WMI_HARDWARE_CONFIGURATION 2
#define WMI_PERFORMANCE 3
#define WMI_COMM_PROPERTIES 4
#define WMI_GUID_COUNT 5

// MSSerial_CommProperties: the SERIAL_COMMPROP with dwProvCharSize in place of the
// provider characters, and an empty wcProvChar padded to 68 bytes.
#define WMI_COMM_PROPERTIES_SIZE 68
#define WMI_PROV_CHAR_SIZE_OFFSET 60

#define WMI_MAXIMUM_BAUD_RATE 460800
#define WMI_MAXIMUM_INPUT_BUFFER 4096

static const GUID PortNameGuid = {0xa0ec11a8, 0xb16c, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}};
static const GUID CommInfoGuid = {0xedb16a62, 0xb16c, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}};
static const GUID HardwareConfigurationGuid = {
    0x270b9b86, 0xb16d, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}};
static const GUID PerformanceGuid = {0x56415acc, 0xb16d, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}};
static const GUID CommPropertiesGuid = {0x8209ec2a, 0x2d6b, 0x11d2, {0xba, 0x49, 0x00, 0xa0, 0xc9, 0x06, 0x29, 0x10}};

// Indexed by GuidIndex. Non-pageable: the library reads it whenever a request comes.
static WMIGUIDREGINFO SerialWmiGuids[WMI_GUID_COUNT] = {
    {&PortNameGuid, 1, 0},    {&CommInfoGuid, 1, 0}, {&HardwareConfigurationGuid, 1, 0},
    {&PerformanceGuid, 1, 0}, {&CommPropertiesGuid, 1, 0},
};

static WMI_QUERY_REGINFO_CALLBACK PortWmiQueryRegInfo;
static WMI_QUERY_DATABLOCK_CALLBACK PortWmiQueryDataBlock;
static WMI_SET_DATABLOCK_CALLBACK PortWmiSetDataBlock;
static WMI_SET_DATAITEM_CALLBACK PortWmiSetDataItem;

NTSTATUS PortWmiInitialize(PDEVICE_OBJECT DeviceObject) {
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  RtlZeroMemory(&Port->WmiHwData, sizeof(Port->WmiHwData));
  Port->WmiLibInfo.GuidCount = WMI_GUID_COUNT;
  Port->WmiLibInfo.GuidList = SerialWmiGuids;
  Port->WmiLibInfo.QueryWmiRegInfo = PortWmiQueryRegInfo;
  Port->WmiLibInfo.QueryWmiDataBlock = PortWmiQueryDataBlock;
  Port->WmiLibInfo.SetWmiDataBlock = PortWmiSetDataBlock;
  Port->WmiLibInfo.SetWmiDataItem = PortWmiSetDataItem;
  Port->WmiLibInfo.ExecuteWmiMethod = NULL;
  Port->WmiLibInfo.WmiFunctionControl = NULL;
  // A restart keeps the registration (and the counters, which the serial statistics keep too).
  if (InterlockedCompareExchange(&Port->WmiRegistered, 1, 0) != 0) {
    return STATUS_SUCCESS;
  }
  NTSTATUS Status = IoWMIRegistrationControl(DeviceObject, WMIREG_ACTION_REGISTER);
  if (!NT_SUCCESS(Status)) {
    InterlockedExchange(&Port->WmiRegistered, 0);
  }
  return Status;
}

VOID PortWmiDeregister(PortExtension* Port) {
  if (InterlockedExchange(&Port->WmiRegistered, 0) != 0) {
    IoWMIRegistrationControl(Port->Self, WMIREG_ACTION_DEREGISTER);
  }
}

PAGED_ROUTINE NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DeviceExtensionHeader* Header = (DeviceExtensionHeader*)DeviceObject->DeviceExtension;
  NTSTATUS Status = Irp->IoStatus.Status;
  // A deleted adapter has nothing below it any more; a deleted port is registered no more.
  if (Header->DevicePnpState == Deleted) {
    CompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
  }
  if (Header->IsAdapter) {
    // Not a WMI provider: the USB stack below may be.
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(((AdapterExtension*)Header)->LowerDevice, Irp);
  }
  PortExtension* Port = (PortExtension*)Header;
  // Unregistered (not started yet): nothing for the library to answer from. The
  // port is the bottom of its stack, so a request that is not its own ends here.
  if (InterlockedCompareExchange(&Port->WmiRegistered, 0, 0) == 0) {
    CompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
  }
  SYSCTL_IRP_DISPOSITION Disposition;
  Status = WmiSystemControl(&Port->WmiLibInfo, DeviceObject, Irp, &Disposition);
  switch (Disposition) {
    case IrpProcessed:
      return Status;
    case IrpNotCompleted:
      CompleteRequest(Irp, IO_NO_INCREMENT);
      return Status;
    default:
      Status = Irp->IoStatus.Status;
      CompleteRequest(Irp, IO_NO_INCREMENT);
      return Status;
  }
}

PAGED_ROUTINE static NTSTATUS NTAPI PortWmiQueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags,
                                                        PUNICODE_STRING InstanceName, PUNICODE_STRING* RegistryPath,
                                                        PUNICODE_STRING MofResourceName, PDEVICE_OBJECT* Pdo) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InstanceName);
  UNREFERENCED_PARAMETER(MofResourceName);
  *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
  *RegistryPath = &DriverRegistryPath;
  // The port is its own physical device object: each port's instance name is its own.
  *Pdo = DeviceObject;
  return STATUS_SUCCESS;
}

// The CommInfo block from the settings as they are now.
static VOID CommInfoFill(PortExtension* Port, SERIAL_WMI_COMM_DATA* Data) {
  RtlZeroMemory(Data, sizeof(*Data));
  BOOLEAN Busy = FALSE;
  AcquireOwnedSpinLock(&Port->ReceiveLock);
  Busy = Port->ReceiveBuffer != NULL;
  ReleaseOwnedSpinLock(&Port->ReceiveLock);

  AcquireOwnedSpinLock(&Port->ControlLock);
  PortConfigBlock Config = Port->Config;
  Data->XoffCharacter = Port->SpecialChars.XoffChar;
  Data->XonCharacter = Port->SpecialChars.XonChar;
  Data->XoffXmitThreshold = Port->Handflow.XoffLimit;
  Data->XonXmitThreshold = Port->Handflow.XonLimit;
  ReleaseOwnedSpinLock(&Port->ControlLock);

  Data->BaudRate = Config.BaudRate;
  Data->BitsPerByte = Config.DataBits;
  switch (Config.Parity) {
    case 'o':
      Data->Parity = SERIAL_WMI_PARITY_ODD;
      break;
    case 'e':
      Data->Parity = SERIAL_WMI_PARITY_EVEN;
      break;
    case '0':
      Data->Parity = SERIAL_WMI_PARITY_SPACE;
      break;
    case '1':
      Data->Parity = SERIAL_WMI_PARITY_MARK;
      break;
    default:
      Data->Parity = SERIAL_WMI_PARITY_NONE;
      break;
  }
  Data->ParityCheckEnable = Config.Parity != 'n';
  if (Config.StopBits != 2) {
    Data->StopBits = SERIAL_WMI_STOP_1;
  } else {
    Data->StopBits = Config.DataBits == 5 ? SERIAL_WMI_STOP_1_5 : SERIAL_WMI_STOP_2;
  }
  Data->MaximumBaudRate = WMI_MAXIMUM_BAUD_RATE;
  Data->MaximumOutputBufferSize = 0xFFFFFFFF;
  Data->MaximumInputBufferSize = WMI_MAXIMUM_INPUT_BUFFER;
  Data->Support16BitMode = FALSE;
  Data->SupportDTRDSR = TRUE;
  Data->SupportIntervalTimeouts = TRUE;
  Data->SupportParityCheck = TRUE;
  Data->SupportRTSCTS = TRUE;
  Data->SupportXonXoff = TRUE;
  Data->SettableBaudRate = TRUE;
  Data->SettableDataBits = TRUE;
  Data->SettableFlowControl = TRUE;
  Data->SettableParity = TRUE;
  Data->SettableParityCheck = TRUE;
  Data->SettableStopBits = TRUE;
  Data->IsBusy = Busy;
}

static VOID PerformanceFill(PortExtension* Port, SERIAL_WMI_PERF_DATA* Data) {
  ULONG volatile* Counters[] = {
      &Port->WmiPerfData.ReceivedCount,           &Port->WmiPerfData.TransmittedCount,
      &Port->WmiPerfData.FrameErrorCount,         &Port->WmiPerfData.SerialOverrunErrorCount,
      &Port->WmiPerfData.BufferOverrunErrorCount, &Port->WmiPerfData.ParityErrorCount,
  };
  ULONG* Out[] = {&Data->ReceivedCount,           &Data->TransmittedCount, &Data->FrameErrorCount,
                  &Data->SerialOverrunErrorCount, &Data->BufferOverrunErrorCount, &Data->ParityErrorCount};
  for (ULONG i = 0; i < sizeof(Counters) / sizeof(Counters[0]); i++) {
    *Out[i] = (ULONG)InterlockedCompareExchange((LONG volatile*)Counters[i], 0, 0);
  }
}

PAGED_ROUTINE static NTSTATUS NTAPI PortWmiQueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                          ULONG InstanceIndex, ULONG InstanceCount,
                                                          PULONG InstanceLengthArray, ULONG BufferAvail,
                                                          PUCHAR Buffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InstanceIndex);
  UNREFERENCED_PARAMETER(InstanceCount);
  PortExtension* Port = (PortExtension*)DeviceObject->DeviceExtension;
  ULONG Size;
  switch (GuidIndex) {
    case WMI_PORT_NAME:
      Size = (ULONG)Port->PortName.Length + sizeof(USHORT);
      break;
    case WMI_COMM_INFO:
      Size = sizeof(SERIAL_WMI_COMM_DATA);
      break;
    case WMI_HARDWARE_CONFIGURATION:
      Size = sizeof(SERIAL_WMI_HW_DATA);
      break;
    case WMI_PERFORMANCE:
      Size = sizeof(SERIAL_WMI_PERF_DATA);
      break;
    case WMI_COMM_PROPERTIES:
      Size = WMI_COMM_PROPERTIES_SIZE;
      break;
    default:
      return WmiCompleteRequest(DeviceObject, Irp, STATUS_WMI_GUID_NOT_FOUND, 0, IO_NO_INCREMENT);
  }
  if (BufferAvail < Size) {
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_BUFFER_TOO_SMALL, Size, IO_NO_INCREMENT);
  }

  NTSTATUS Status = STATUS_SUCCESS;
  switch (GuidIndex) {
    case WMI_PORT_NAME:
      if (Port->PortName.Buffer == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        Size = 0;
        break;
      }
      RtlCopyMemory(Buffer, &Port->PortName.Length, sizeof(USHORT));
      RtlCopyMemory(Buffer + sizeof(USHORT), Port->PortName.Buffer, Port->PortName.Length);
      break;
    case WMI_COMM_INFO: {
      SERIAL_WMI_COMM_DATA Data;
      CommInfoFill(Port, &Data);
      RtlCopyMemory(Buffer, &Data, sizeof(Data));
      break;
    }
    case WMI_HARDWARE_CONFIGURATION:
      RtlCopyMemory(Buffer, &Port->WmiHwData, sizeof(Port->WmiHwData));
      break;
    case WMI_PERFORMANCE: {
      SERIAL_WMI_PERF_DATA Data;
      PerformanceFill(Port, &Data);
      RtlCopyMemory(Buffer, &Data, sizeof(Data));
      break;
    }
    default: {
      // Every byte of the block is written: nothing of the consumer's buffer shows through.
      SERIAL_COMMPROP Properties;
      PropertiesFill(Port, &Properties);
      RtlZeroMemory(Buffer, WMI_COMM_PROPERTIES_SIZE);
      RtlCopyMemory(Buffer, &Properties, sizeof(Properties));
      RtlZeroMemory(Buffer + WMI_PROV_CHAR_SIZE_OFFSET, sizeof(ULONG));
      break;
    }
  }
  if (NT_SUCCESS(Status)) {
    *InstanceLengthArray = Size;
  }
  return WmiCompleteRequest(DeviceObject, Irp, Status, Size, IO_NO_INCREMENT);
}

PAGED_ROUTINE static NTSTATUS PortWmiRefuseSet(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex) {
  PAGED_CODE();
  NTSTATUS Status = GuidIndex < WMI_GUID_COUNT ? STATUS_INVALID_DEVICE_REQUEST : STATUS_WMI_GUID_NOT_FOUND;
  return WmiCompleteRequest(DeviceObject, Irp, Status, 0, IO_NO_INCREMENT);
}

PAGED_ROUTINE static NTSTATUS NTAPI PortWmiSetDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                        ULONG InstanceIndex, ULONG BufferSize, PUCHAR Buffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InstanceIndex);
  UNREFERENCED_PARAMETER(BufferSize);
  UNREFERENCED_PARAMETER(Buffer);
  return PortWmiRefuseSet(DeviceObject, Irp, GuidIndex);
}

PAGED_ROUTINE static NTSTATUS NTAPI PortWmiSetDataItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex,
                                                       ULONG InstanceIndex, ULONG DataItemId, ULONG BufferSize,
                                                       PUCHAR Buffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InstanceIndex);
  UNREFERENCED_PARAMETER(DataItemId);
  UNREFERENCED_PARAMETER(BufferSize);
  UNREFERENCED_PARAMETER(Buffer);
  return PortWmiRefuseSet(DeviceObject, Irp, GuidIndex);
}
