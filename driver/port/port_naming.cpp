// The COM name comes from the registry, written there by the system's port installation or
// by anyone with access to the device key: it is checked before any name is made from it.
#include "port/port_naming.h"

#include "core/guids.h"
#include "core/helpers.h"

#define NAME_BUFFER_BYTES ((PORT_NAME_MAX_CHARS + 1) * sizeof(WCHAR))
#define COM_NAME_BYTES 66

static const WCHAR PortNameValue[] = WSTR("PortName");
static const WCHAR DosDevicesPrefix[] = WSTR("\\DosDevices\\");
static const WCHAR SerialCommKey[] = WSTR("SERIALCOMM");

NTSTATUS QueryKeyValueData(HANDLE Key, PCWSTR ValueName, ULONG ValueNameSize, PVOID Data, ULONG DataCapacity,
                           PULONG Type, PULONG DataLength) {
  ULONG Size = ValueNameSize + DataCapacity + sizeof(KEY_VALUE_FULL_INFORMATION);
  PKEY_VALUE_FULL_INFORMATION Info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, Size, TAG_BR34);
  if (Info == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  UNICODE_STRING Name;
  RtlInitUnicodeString(&Name, ValueName);
  ULONG Returned = 0;
  NTSTATUS Status = ZwQueryValueKey(Key, &Name, KeyValueFullInformation, Info, Size, &Returned);
  if (NT_SUCCESS(Status)) {
    *Type = Info->Type;
    *DataLength = Info->DataLength;
    if (Info->DataLength > DataCapacity || Info->DataOffset > Size || Info->DataLength > Size - Info->DataOffset) {
      Status = STATUS_BUFFER_OVERFLOW;
    } else {
      RtlCopyMemory(Data, (PUCHAR)Info + Info->DataOffset, Info->DataLength);
    }
  }
  ExFreePool(Info);
  return Status;
}

// A usable COM name: a REG_SZ of 1 to PORT_NAME_MAX_CHARS characters, NUL-terminated within
// its data, with no path separator (it becomes part of an object name). Returns its length
// in characters, 0 if unusable.
static USHORT CheckedPortNameLength(PCWSTR Name, ULONG Type, ULONG DataLength) {
  if (Type != REG_SZ || DataLength < 2 * sizeof(WCHAR) || DataLength > NAME_BUFFER_BYTES) {
    return 0;
  }
  ULONG Chars = DataLength / sizeof(WCHAR);
  for (ULONG i = 0; i < Chars; i++) {
    if (Name[i] == 0) {
      return (USHORT)i;  // 0 for an empty name
    }
    if (Name[i] == L'\\' || Name[i] == L'/') {
      return 0;
    }
  }
  return 0;  // no NUL within the data
}

// A counted string in a fresh zeroed buffer with room for a terminating NUL.
static NTSTATUS AllocateNameString(PUNICODE_STRING String, USHORT Capacity, ULONG Tag) {
  String->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, Capacity, Tag);
  if (String->Buffer == NULL) {
    String->Length = 0;
    String->MaximumLength = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(String->Buffer, Capacity);
  String->Length = 0;
  String->MaximumLength = Capacity;
  return STATUS_SUCCESS;
}

static VOID DeleteSerialCommValue(PortExtension* Port) {
  if (Port->PortDeviceName.Buffer != NULL) {
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Port->PortDeviceName.Buffer);
  }
}

// Reads and checks "PortName" into Port->PortName.
static NTSTATUS ReadPortName(PortExtension* Port) {
  HANDLE Key = NULL;
  NTSTATUS Status = IoOpenDeviceRegistryKey(Port->PortDeviceObject, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &Key);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  PWCHAR Name = (PWCHAR)ExAllocatePoolWithTag(PagedPool, NAME_BUFFER_BYTES, TAG_BR07);
  if (Name == NULL) {
    ZwClose(Key);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG Type = REG_NONE;
  ULONG DataLength = 0;
  Status = QueryKeyValueData(Key, PortNameValue, sizeof(PortNameValue), Name, NAME_BUFFER_BYTES, &Type, &DataLength);
  ZwClose(Key);
  if (Status == STATUS_BUFFER_OVERFLOW) {
    Status = STATUS_OBJECT_NAME_INVALID;
  }
  USHORT Chars = 0;
  if (NT_SUCCESS(Status)) {
    Chars = CheckedPortNameLength(Name, Type, DataLength);
    if (Chars == 0) {
      Status = STATUS_OBJECT_NAME_INVALID;
    }
  }
  if (NT_SUCCESS(Status)) {
    // A name left from an earlier failed start is replaced.
    FreeStringAndClear(&Port->PortName);
    Status = AllocateNameString(&Port->PortName, (USHORT)((Chars + 1) * sizeof(WCHAR)), TAG_BR08);
    if (NT_SUCCESS(Status)) {
      RtlCopyMemory(Port->PortName.Buffer, Name, Chars * sizeof(WCHAR));
      Port->PortName.Length = (USHORT)(Chars * sizeof(WCHAR));
    }
  }
  ExFreePool(Name);
  return Status;
}

static VOID UndoNames(PortExtension* Port) {
  FreeStringAndClear(&Port->ComName);
  if (Port->CreatedSymbolicLink) {
    IoDeleteSymbolicLink(&Port->SymbolicLinkName);
    Port->CreatedSymbolicLink = FALSE;
  }
  FreeStringAndClear(&Port->SymbolicLinkName);
  DeleteSerialCommValue(Port);
  Port->CreatedSerialCommEntry = FALSE;
  if (Port->ComInterfaceName.Buffer != NULL) {
    IoSetDeviceInterfaceState(&Port->ComInterfaceName, FALSE);
    RtlFreeUnicodeString(&Port->ComInterfaceName);
  }
}

PAGED_ROUTINE NTSTATUS PortCreateNames(PortExtension* Port) {
  PAGED_CODE();
  // A restart after a stop, or a start after a removal while the adapter still reports the
  // port: its names were never taken away.
  if (Port->CreatedSymbolicLink) {
    return STATUS_SUCCESS;
  }
  NTSTATUS Status = ReadPortName(Port);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }

  USHORT LinkBytes = (USHORT)(sizeof(DosDevicesPrefix) - sizeof(WCHAR) + Port->PortName.Length);
  Status = AllocateNameString(&Port->SymbolicLinkName, (USHORT)(LinkBytes + sizeof(WCHAR)), TAG_BR09);
  if (NT_SUCCESS(Status)) {
    RtlAppendUnicodeToString(&Port->SymbolicLinkName, DosDevicesPrefix);
    RtlAppendUnicodeStringToString(&Port->SymbolicLinkName, &Port->PortName);
    Status = AllocateNameString(&Port->ComName, COM_NAME_BYTES, TAG_BR10);
  }
  if (NT_SUCCESS(Status)) {
    RtlAppendUnicodeStringToString(&Port->ComName, &Port->PortName);
    Status = IoCreateSymbolicLink(&Port->SymbolicLinkName, &Port->PortDeviceName);
  }
  if (NT_SUCCESS(Status)) {
    Port->CreatedSymbolicLink = TRUE;
    Status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Port->PortDeviceName.Buffer, REG_SZ,
                                   Port->ComName.Buffer, Port->ComName.Length + sizeof(WCHAR));
  }
  if (NT_SUCCESS(Status)) {
    Port->CreatedSerialCommEntry = TRUE;
    Status = IoRegisterDeviceInterface(Port->PortDeviceObject, &ComPortInterfaceGuid, NULL, &Port->ComInterfaceName);
    if (!NT_SUCCESS(Status)) {
      Port->ComInterfaceName.Buffer = NULL;
      Port->ComInterfaceName.Length = 0;
      Port->ComInterfaceName.MaximumLength = 0;
    } else {
      Status = IoSetDeviceInterfaceState(&Port->ComInterfaceName, TRUE);
    }
  }
  if (!NT_SUCCESS(Status)) {
    UndoNames(Port);
  }
  return Status;
}

PAGED_ROUTINE VOID PortRemoveNames(PortExtension* Port) {
  PAGED_CODE();
  if (Port->ComInterfaceName.Buffer != NULL) {
    IoSetDeviceInterfaceState(&Port->ComInterfaceName, FALSE);
    RtlFreeUnicodeString(&Port->ComInterfaceName);
  }
  if (Port->CreatedSymbolicLink) {
    IoDeleteSymbolicLink(&Port->SymbolicLinkName);
    Port->CreatedSymbolicLink = FALSE;
  }
  if (Port->CreatedSerialCommEntry) {
    DeleteSerialCommValue(Port);
    Port->CreatedSerialCommEntry = FALSE;
  }
}
