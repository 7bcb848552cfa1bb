// The values are untrusted: only a 4-byte REG_DWORD is taken, through a query routine, since
// RTL_QUERY_REGISTRY_DIRECT would write a string or binary value of any length into the
// 4-byte destination.
#include "adapter/registry_parameters.h"

#include "core/helpers.h"

#define PARAMETERS_PATH_BUFFER 512
#define DEFAULT_MAXIMUM_TRANSFER_SIZE 4096
// A pipe must carry at least one full-speed bulk packet per transfer.
#define MINIMUM_TRANSFER_SIZE 64
#define BAUD_BASE 460800

static const WCHAR ParametersKeyPath[] =
    WSTR("\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\ZELBRUSB\\Parameters");

PAGED_ROUTINE static NTSTATUS NTAPI StoreDword(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                               ULONG ValueLength, PVOID Context, PVOID EntryContext) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(ValueName);
  UNREFERENCED_PARAMETER(Context);
  if (ValueType == REG_DWORD && ValueLength == sizeof(ULONG) && ValueData != NULL) {
    RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
  }
  return STATUS_SUCCESS;
}

PAGED_ROUTINE BOOLEAN QueryRegistryDword(PCWSTR Path, PCWSTR Name, PULONG Value) {
  PAGED_CODE();
  ULONG PathBytes = 0;
  while (Path[PathBytes / sizeof(WCHAR)] != 0) {
    PathBytes += sizeof(WCHAR);
  }
  if (PathBytes + sizeof(WCHAR) > PARAMETERS_PATH_BUFFER) {
    return FALSE;
  }
  PWSTR PathCopy = (PWSTR)ExAllocatePoolWithTag(PagedPool, PARAMETERS_PATH_BUFFER, TAG_BR36);
  if (PathCopy == NULL) {
    return FALSE;
  }
  RtlZeroMemory(PathCopy, PARAMETERS_PATH_BUFFER);
  RtlCopyMemory(PathCopy, Path, PathBytes);

  ULONG Read = *Value;
  RTL_QUERY_REGISTRY_TABLE Table[2];
  RtlZeroMemory(Table, sizeof(Table));
  Table[0].QueryRoutine = StoreDword;
  Table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
  Table[0].Name = (PWSTR)Name;
  Table[0].EntryContext = &Read;
  NTSTATUS Status =
      RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, PathCopy, Table, NULL, NULL);
  ExFreePool(PathCopy);
  if (NT_SUCCESS(Status)) {
    *Value = Read;
  }
  return NT_SUCCESS(Status);
}

// An alias is used only if it names a rate the adapter's clock divides exactly.
static ULONG ValidAlias(ULONG Rate) {
  return (Rate != 0 && BAUD_BASE % Rate == 0) ? Rate : 0;
}

PAGED_ROUTINE VOID AdapterReadParameters(AdapterExtension* Adapter) {
  PAGED_CODE();
  ULONG Size = DEFAULT_MAXIMUM_TRANSFER_SIZE;
  QueryRegistryDword(ParametersKeyPath, WSTR("MaximumTransferSize"), &Size);
  Adapter->MaximumTransferSize = Size < MINIMUM_TRANSFER_SIZE ? DEFAULT_MAXIMUM_TRANSFER_SIZE : Size;

  ULONG Alias = 0;
  if (!QueryRegistryDword(ParametersKeyPath, WSTR("MAP230K"), &Alias)) {
    Alias = 0;
  }
  Adapter->Map230K = ValidAlias(Alias);
  Alias = 0;
  if (!QueryRegistryDword(ParametersKeyPath, WSTR("MAP460K"), &Alias)) {
    Alias = 0;
  }
  Adapter->Map460K = ValidAlias(Alias);
}
