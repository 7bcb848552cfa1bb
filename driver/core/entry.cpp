// Driver entry and unload, and the driver-wide storage.
#include "core/entry.h"

#include "adapter/add_device.h"
#include "core/helpers.h"
#include "port/internal_ioctl.h"
#include "power_wmi/wmi.h"

UNICODE_STRING DriverRegistryPath;
AdapterExtension* AdapterTable[MAX_ADAPTERS];
ULONG AdapterCount;

INIT_ROUTINE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  // Room for a terminating NUL, so the copy can be handed out as a plain string too.
  USHORT Capacity = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
  PWSTR Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, Capacity, TAG_BR39);
  if (Buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(Buffer, Capacity);
  RtlCopyMemory(Buffer, RegistryPath->Buffer, RegistryPath->Length);
  DriverRegistryPath.Buffer = Buffer;
  DriverRegistryPath.Length = RegistryPath->Length;
  DriverRegistryPath.MaximumLength = Capacity;

  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchIo;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchIo;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchIo;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchIo;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchIo;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchIo;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalIoctl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->DriverUnload = DriverUnload;
  DriverObject->DriverExtension->AddDevice = AdapterAddDevice;
  return STATUS_SUCCESS;
}

// By the time this runs the plug-and-play manager has removed every device.
PAGED_ROUTINE VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DriverObject);
  FreePoolAndClear(&DriverRegistryPath.Buffer);
  DriverRegistryPath.Length = 0;
  DriverRegistryPath.MaximumLength = 0;
}
