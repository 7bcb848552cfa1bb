// A port is the bottom of its own stack: every plug-and-play request ends here, completed
// with no boost, and nothing is passed to another driver.
#include "port/port_pnp.h"

#include "core/guids.h"
#include "core/helpers.h"
#include "port/port_naming.h"
#include "power_wmi/wmi.h"

static const WCHAR CompatibleIds[] = WSTR("ZELBRPORTS\0");
static const WCHAR DescriptionText[] = WSTR("ZEL USB COM Port");

#define COMPATIBLE_IDS_BUFFER 50
#define INSTANCE_ID_BUFFER 12
#define DESCRIPTION_BUFFER 72

static PVOID AllocateAnswer(SIZE_T Size, ULONG Tag) {
  PVOID Buffer = ExAllocatePoolWithTag(PagedPool, Size, Tag);
  if (Buffer != NULL) {
    RtlZeroMemory(Buffer, Size);
  }
  return Buffer;
}

static ULONG MultiSzBytes(PCWSTR Strings) {
  ULONG Chars = 0;
  while (Strings[Chars] != 0) {
    while (Strings[Chars] != 0) {
      Chars++;
    }
    Chars++;
  }
  return (Chars + 1) * sizeof(WCHAR);
}

PAGED_ROUTINE static NTSTATUS PortQueryId(PortExtension* Port, PIRP Irp) {
  PAGED_CODE();
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PWCHAR Answer = NULL;
  switch (Stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs: {
      if (Port->HardwareIds == NULL) {
        return STATUS_INVALID_DEVICE_REQUEST;
      }
      ULONG Size = MultiSzBytes(Port->HardwareIds);
      Answer = (PWCHAR)AllocateAnswer(Size, TAG_BR00);
      if (Answer != NULL) {
        RtlCopyMemory(Answer, Port->HardwareIds, Size);
      }
      break;
    }
    case BusQueryCompatibleIDs:
      Answer = (PWCHAR)AllocateAnswer(COMPATIBLE_IDS_BUFFER, TAG_BR02);
      if (Answer != NULL) {
        RtlCopyMemory(Answer, CompatibleIds, sizeof(CompatibleIds));
      }
      break;
    case BusQueryInstanceID: {
      Answer = (PWCHAR)AllocateAnswer(INSTANCE_ID_BUFFER, TAG_BR01);
      if (Answer != NULL) {
        // At least two digits; the buffer holds five and the NUL.
        ULONG Value = Port->PortInstanceNumber % 100000;
        WCHAR Digits[5];
        ULONG Count = 0;
        do {
          Digits[Count++] = (WCHAR)(L'0' + Value % 10);
          Value /= 10;
        } while (Value != 0);
        if (Count < 2) {
          Digits[Count++] = L'0';
        }
        for (ULONG i = 0; i < Count; i++) {
          Answer[i] = Digits[Count - 1 - i];
        }
      }
      break;
    }
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (Answer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Irp->IoStatus.Information = (ULONG_PTR)Answer;
  return STATUS_SUCCESS;
}

PAGED_ROUTINE static NTSTATUS PortQueryDeviceText(PIRP Irp) {
  PAGED_CODE();
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
    return Irp->IoStatus.Status;
  }
  if (Irp->IoStatus.Information != 0) {
    return STATUS_SUCCESS;
  }
  PWCHAR Text = (PWCHAR)AllocateAnswer(DESCRIPTION_BUFFER, TAG_BR03);
  if (Text == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(Text, DescriptionText, sizeof(DescriptionText));
  Irp->IoStatus.Information = (ULONG_PTR)Text;
  return STATUS_SUCCESS;
}

PAGED_ROUTINE static NTSTATUS PortQueryDeviceRelations(PortExtension* Port, PIRP Irp) {
  PAGED_CODE();
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  if (Stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
    return Irp->IoStatus.Status;
  }
  PDEVICE_RELATIONS Relations = (PDEVICE_RELATIONS)AllocateAnswer(sizeof(DEVICE_RELATIONS), TAG_BR04);
  if (Relations == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (Irp->IoStatus.Information != 0) {
    ExFreePool((PVOID)Irp->IoStatus.Information);
  }
  Relations->Count = 1;
  Relations->Objects[0] = Port->Self;
  ObReferenceObject(Port->Self);
  Irp->IoStatus.Information = (ULONG_PTR)Relations;
  return STATUS_SUCCESS;
}

PAGED_ROUTINE static NTSTATUS PortQueryBusInformation(PIRP Irp) {
  PAGED_CODE();
  PPNP_BUS_INFORMATION Info = (PPNP_BUS_INFORMATION)AllocateAnswer(sizeof(PNP_BUS_INFORMATION), TAG_BR05);
  if (Info == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Info->BusTypeGuid = GUID_ADAPTER_INTERFACE;
  Info->LegacyBusType = PNPBus;
  Info->BusNumber = 0;
  Irp->IoStatus.Information = (ULONG_PTR)Info;
  return STATUS_SUCCESS;
}

PAGED_ROUTINE NTSTATUS QueryParentCapabilities(PDEVICE_OBJECT Target, PDEVICE_CAPABILITIES Caps) {
  PAGED_CODE();
  RtlZeroMemory(Caps, sizeof(DEVICE_CAPABILITIES));
  Caps->Size = sizeof(DEVICE_CAPABILITIES);
  Caps->Version = 1;
  Caps->Address = 0xFFFFFFFF;
  Caps->UINumber = 0xFFFFFFFF;

  KEVENT Event;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  PDEVICE_OBJECT Top = IoGetAttachedDeviceReference(Target);
  IO_STATUS_BLOCK IoStatus;
  PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, Top, NULL, 0, NULL, &Event, &IoStatus);
  if (Irp == NULL) {
    ObDereferenceObject(Top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  Irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  RtlZeroMemory(Next, sizeof(IO_STACK_LOCATION));
  Next->MajorFunction = IRP_MJ_PNP;
  Next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  Next->Parameters.DeviceCapabilities.Capabilities = Caps;
  NTSTATUS Status = IoCallDriver(Top, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
    Status = IoStatus.Status;
  }
  ObDereferenceObject(Top);
  return Status;
}

PAGED_ROUTINE static NTSTATUS PortQueryCapabilities(PortExtension* Port, PIRP Irp) {
  PAGED_CODE();
  PDEVICE_CAPABILITIES Caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  if (Caps->Version != 1) {
    return STATUS_NOT_SUPPORTED;
  }
  Caps->SurpriseRemovalOK = TRUE;

  DEVICE_CAPABILITIES Parent;
  NTSTATUS Status = QueryParentCapabilities(Port->Adapter->LowerDevice, &Parent);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  for (ULONG State = PowerSystemUnspecified; State <= PowerSystemShutdown; State++) {
    Caps->DeviceState[State] = Parent.DeviceState[State];
  }
  Caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (ULONG State = PowerSystemSleeping1; State <= PowerSystemSleeping3; State++) {
    if (Caps->DeviceState[State] != PowerDeviceD0) {
      Caps->DeviceState[State] = PowerDeviceD3;
    }
  }
  Caps->SystemWake = Parent.SystemWake;
  Caps->DeviceWake = Parent.DeviceWake;
  Caps->DeviceD1 = FALSE;
  Caps->DeviceD2 = FALSE;
  Caps->UniqueID = FALSE;
  Caps->HardwareDisabled = FALSE;
  Caps->NonDynamic = FALSE;
  Caps->WarmEjectSupported = FALSE;
  Caps->NoDisplayInUI = FALSE;
  Caps->Removable = TRUE;
  Caps->SilentInstall = TRUE;
  Caps->RawDeviceOK = TRUE;
  Caps->SurpriseRemovalOK = TRUE;
  Caps->D1Latency = 0;
  Caps->D2Latency = 0;
  Caps->D3Latency = 0;
  return STATUS_SUCCESS;
}

// The adapter no longer reports the port (it was ejected): it goes with its names.
PAGED_ROUTINE static VOID PortRemoveAbsent(PortExtension* Port) {
  PAGED_CODE();
  Port->DevicePnpState = Deleted;
  AdapterExtension* Adapter = Port->Adapter;
  ExAcquireFastMutex(&Adapter->ChildListMutex);
  RemoveEntryList(&Port->AdapterLink);
  InitializeListHead(&Port->AdapterLink);
  Adapter->ChildCount--;
  if (Adapter->ChildCount == 0) {
    Adapter->PortInstanceCounter = 0;
  }
  ExReleaseFastMutex(&Adapter->ChildListMutex);
  PortDeleteDevice(Port->Self, Port);
}

PAGED_ROUTINE NTSTATUS PortDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION Stack,
                                       PortExtension* Port) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DeviceObject);
  NTSTATUS Status = Irp->IoStatus.Status;
  switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      Status = PortCreateNames(Port);
      Port->DevicePnpState = NT_SUCCESS(Status) ? Started : StartFailed;
      if (NT_SUCCESS(Status)) {
        PortWmiInitialize(Port->Self);
      }
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      Port->DevicePnpState = RemovePending;
      Status = STATUS_SUCCESS;
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      Port->DevicePnpState = Started;
      Status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
      Port->DevicePnpState = Stopped;
      Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      Port->DevicePnpState = StopPending;
      Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      Status = STATUS_SUCCESS;
      if (Port->Present) {
        Port->DevicePnpState = NotStarted;
        break;
      }
      // The device is gone once this returns: complete first.
      Irp->IoStatus.Status = Status;
      CompleteRequest(Irp, IO_NO_INCREMENT);
      PortRemoveAbsent(Port);
      return Status;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      Status = PortQueryDeviceRelations(Port, Irp);
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      Status = PortQueryCapabilities(Port, Irp);
      break;
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
      Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_DEVICE_TEXT:
      Status = PortQueryDeviceText(Irp);
      break;
    case IRP_MN_EJECT:
      Port->Present = FALSE;
      Status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_ID: {
      NTSTATUS IdStatus = PortQueryId(Port, Irp);
      if (NT_SUCCESS(IdStatus)) {
        Status = IdStatus;
      }
      break;
    }
    case IRP_MN_QUERY_BUS_INFORMATION:
      Status = PortQueryBusInformation(Irp);
      break;
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
      Status = STATUS_NOT_IMPLEMENTED;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      Status = PortSurpriseRemoval(Port);
      break;
    default:
      break;
  }
  Irp->IoStatus.Status = Status;
  CompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}
