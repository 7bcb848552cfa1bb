// The WMI library drivers link with: WmiSystemControl turns a WMI request into a call of the
// driver's callback with the place in the WNODE its data goes, WmiCompleteRequest finishes the
// WNODE around what the callback wrote and completes the request.
#include <cstring>

#include "io_internal.h"
#include "simkernel/pool.h"
#include "wmi_internal.h"

using namespace sim::iom;
using sim::wmim::Align8;
using sim::wmim::LibraryRequest;
using sim::wmim::Wmi;

namespace {

constexpr ULONG kAllDataHeader = offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength);

ULONG CountedStringSize(const UNICODE_STRING& s) { return sizeof(USHORT) + s.Length; }

ULONG PutCountedString(uint8_t* buffer, ULONG offset, const UNICODE_STRING& s) {
  const USHORT length = s.Length;
  std::memcpy(buffer + offset, &length, sizeof(length));
  if (length) std::memcpy(buffer + offset + sizeof(USHORT), s.Buffer, length);
  return offset + sizeof(USHORT) + length;
}

bool ValidString(const UNICODE_STRING* s) {
  return !s || ((s->Length & 1) == 0 && s->Length <= s->MaximumLength && (s->Length == 0 || s->Buffer));
}

// IRP_MN_REGINFO: the WMIREGINFO built from the driver's GUID table and its registration
// callback, or the size it needs in the first ULONG.
NTSTATUS BuildRegInfo(PWMILIB_CONTEXT lib, PDEVICE_OBJECT device, PIO_STACK_LOCATION sp, PIRP irp) {
  ULONG regFlags = 0;
  UNICODE_STRING instanceName{0, 0, nullptr};
  PUNICODE_STRING registryPath = nullptr;
  UNICODE_STRING mofName{0, 0, nullptr};
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = lib->QueryWmiRegInfo(device, &regFlags, &instanceName, &registryPath, &mofName, &pdo);
  irp->IoStatus.Information = 0;
  if (NT_SUCCESS(status)) {
    if (!ValidString(&instanceName) || !ValidString(registryPath) || !ValidString(&mofName)) {
      Report("malformed unicode string", DescribeDevice(device) + ": a string from its WMI registration callback");
      status = STATUS_INVALID_PARAMETER;
    } else {
      const ULONG guids = offsetof(WMIREGINFO, WmiRegGuid) + lib->GuidCount * sizeof(WMIREGGUID);
      const bool baseName = (regFlags & WMIREG_FLAG_INSTANCE_BASENAME) != 0;
      UNICODE_STRING emptyPath{0, 0, nullptr};
      const UNICODE_STRING& path = registryPath ? *registryPath : emptyPath;
      const ULONG needed = guids + CountedStringSize(path) + (mofName.Length ? CountedStringSize(mofName) : 0) +
                           (baseName ? CountedStringSize(instanceName) : 0);
      auto* buffer = static_cast<uint8_t*>(sp->Parameters.WMI.Buffer);
      if (!buffer || sp->Parameters.WMI.BufferSize < needed) {
        status = STATUS_BUFFER_TOO_SMALL;
        if (buffer && sp->Parameters.WMI.BufferSize >= sizeof(ULONG)) {
          std::memcpy(buffer, &needed, sizeof(needed));
          irp->IoStatus.Information = sizeof(ULONG);
        }
      } else {
        std::memset(buffer, 0, guids);
        auto* info = reinterpret_cast<PWMIREGINFO>(buffer);
        info->BufferSize = needed;
        info->NextWmiRegInfo = 0;
        info->GuidCount = lib->GuidCount;
        ULONG offset = guids;
        info->RegistryPath = offset;
        offset = PutCountedString(buffer, offset, path);
        if (mofName.Length) {
          info->MofResourceName = offset;
          offset = PutCountedString(buffer, offset, mofName);
        }
        ULONG baseNameOffset = 0;
        if (baseName) {
          baseNameOffset = offset;
          offset = PutCountedString(buffer, offset, instanceName);
        }
        for (ULONG i = 0; i < lib->GuidCount; ++i) {
          PWMIREGGUID entry = &info->WmiRegGuid[i];
          const WMIGUIDREGINFO& source = lib->GuidList[i];
          if (source.Guid) entry->Guid = *source.Guid;
          entry->Flags = source.Flags | regFlags;
          entry->InstanceCount = source.InstanceCount;
          if (regFlags & WMIREG_FLAG_INSTANCE_PDO)
            entry->Pdo = reinterpret_cast<ULONG_PTR>(pdo);
          else if (baseName)
            entry->BaseNameOffset = baseNameOffset;
        }
        irp->IoStatus.Information = needed;
      }
    }
  }
  // The instance base name is the driver's pool block, handed over to WMI.
  if (instanceName.Buffer) ExFreePool(instanceName.Buffer);
  irp->IoStatus.Status = status;
  return status;
}

int GuidIndexOf(PWMILIB_CONTEXT lib, const GUID& guid) {
  for (ULONG i = 0; i < lib->GuidCount; ++i)
    if (lib->GuidList[i].Guid && sim::wmim::SameGuid(*lib->GuidList[i].Guid, guid)) return static_cast<int>(i);
  return -1;
}

// The library's own answer for a callback the driver left out, completed here.
NTSTATUS AnswerForMissing(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status, UCHAR minor, ULONG bufferSize,
                          PSYSCTL_IRP_DISPOSITION disposition) {
  Wmi().libraryRequests[irp] = LibraryRequest{minor, bufferSize, 0, 0, 0};
  *disposition = IrpProcessed;
  return WmiCompleteRequest(device, irp, status, 0, IO_NO_INCREMENT);
}

NTSTATUS NotCompleted(PIRP irp, NTSTATUS status, PSYSCTL_IRP_DISPOSITION disposition) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  *disposition = IrpNotCompleted;
  return status;
}

}  // namespace

NTSTATUS WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PSYSCTL_IRP_DISPOSITION IrpDisposition) {
  SetCall("WmiSystemControl");
  if (CurrentIrql() != PASSIVE_LEVEL)
    Report("WmiSystemControl above PASSIVE_LEVEL", "at IRQL " + std::to_string(CurrentIrql()));
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  if (sp->MajorFunction != IRP_MJ_SYSTEM_CONTROL || sp->MinorFunction > IRP_MN_EXECUTE_METHOD) {
    *IrpDisposition = IrpNotWmi;
    return Irp->IoStatus.Status;
  }
  if (sp->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
    *IrpDisposition = IrpForward;
    return Irp->IoStatus.Status;
  }
  const UCHAR minor = sp->MinorFunction;
  if (!WmiLibInfo || !WmiLibInfo->QueryWmiRegInfo || !WmiLibInfo->QueryWmiDataBlock ||
      (WmiLibInfo->GuidCount && !WmiLibInfo->GuidList)) {
    Report("wmilib context without required callback",
           DescribeDevice(DeviceObject) + ": WMILIB_CONTEXT needs a GUID list, QueryWmiRegInfo and QueryWmiDataBlock");
    return NotCompleted(Irp, STATUS_INVALID_DEVICE_REQUEST, IrpDisposition);
  }
  if (minor == IRP_MN_REGINFO) {
    *IrpDisposition = IrpNotCompleted;
    return BuildRegInfo(WmiLibInfo, DeviceObject, sp, Irp);
  }

  auto* buffer = static_cast<uint8_t*>(sp->Parameters.WMI.Buffer);
  const ULONG size = sp->Parameters.WMI.BufferSize;
  if (!buffer || size < sizeof(WNODE_HEADER)) return NotCompleted(Irp, STATUS_INVALID_PARAMETER, IrpDisposition);
  auto* header = reinterpret_cast<PWNODE_HEADER>(buffer);
  const int found = GuidIndexOf(WmiLibInfo, header->Guid);
  if (found < 0) return NotCompleted(Irp, STATUS_WMI_GUID_NOT_FOUND, IrpDisposition);
  const ULONG guidIndex = static_cast<ULONG>(found);
  const ULONG instances = WmiLibInfo->GuidList[guidIndex].InstanceCount;

  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA: {
      if (size < kAllDataHeader) return NotCompleted(Irp, STATUS_INVALID_PARAMETER, IrpDisposition);
      const uint64_t dataOffset = (kAllDataHeader + uint64_t{instances} * sizeof(OFFSETINSTANCEDATAANDLENGTH) + 7) & ~uint64_t{7};
      auto* wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
      // Everything up to the length array is the library's; what it cannot hold the driver
      // is told of with no array and no buffer, and answers with the size it needs.
      const bool fits = dataOffset <= size;
      LibraryRequest request{minor, size, static_cast<ULONG>(dataOffset), fits ? size - static_cast<ULONG>(dataOffset) : 0,
                             instances};
      PULONG lengths = nullptr;
      if (fits) {
        std::memset(buffer + kAllDataHeader, 0, static_cast<size_t>(dataOffset) - kAllDataHeader);
        lengths = reinterpret_cast<PULONG>(wnode->OffsetInstanceDataAndLength);
      }
      Wmi().libraryRequests[Irp] = request;
      *IrpDisposition = IrpProcessed;
      return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guidIndex, 0, instances, lengths, request.bufferAvail,
                                           fits && request.bufferAvail ? buffer + dataOffset : nullptr);
    }
    case IRP_MN_QUERY_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_ITEM:
    case IRP_MN_EXECUTE_METHOD: {
      // The three WNODE shapes share the header, OffsetInstanceName and InstanceIndex.
      ULONG fixed = minor == IRP_MN_CHANGE_SINGLE_ITEM  ? sizeof(WNODE_SINGLE_ITEM)
                    : minor == IRP_MN_EXECUTE_METHOD ? sizeof(WNODE_METHOD_ITEM)
                                                      : sizeof(WNODE_SINGLE_INSTANCE);
      if (size < fixed) return NotCompleted(Irp, STATUS_INVALID_PARAMETER, IrpDisposition);
      ULONG index, dataOffset, dataSize, id = 0;
      PULONG sizeField;
      if (minor == IRP_MN_CHANGE_SINGLE_ITEM) {
        auto* w = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
        index = w->InstanceIndex, dataOffset = w->DataBlockOffset, dataSize = w->SizeDataItem, id = w->ItemId;
        sizeField = &w->SizeDataItem;
      } else if (minor == IRP_MN_EXECUTE_METHOD) {
        auto* w = reinterpret_cast<PWNODE_METHOD_ITEM>(buffer);
        index = w->InstanceIndex, dataOffset = w->DataBlockOffset, dataSize = w->SizeDataBlock, id = w->MethodId;
        sizeField = &w->SizeDataBlock;
      } else {
        auto* w = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        index = w->InstanceIndex, dataOffset = w->DataBlockOffset, dataSize = w->SizeDataBlock;
        sizeField = &w->SizeDataBlock;
      }
      if (index >= instances) return NotCompleted(Irp, STATUS_WMI_INSTANCE_NOT_FOUND, IrpDisposition);
      const bool query = minor == IRP_MN_QUERY_SINGLE_INSTANCE;
      if (dataOffset < fixed || dataOffset > size || (!query && dataSize > size - dataOffset))
        return NotCompleted(Irp, STATUS_INVALID_PARAMETER, IrpDisposition);
      const ULONG avail = size - dataOffset;
      PUCHAR data = avail ? buffer + dataOffset : nullptr;
      if (minor == IRP_MN_CHANGE_SINGLE_INSTANCE && !WmiLibInfo->SetWmiDataBlock)
        return AnswerForMissing(DeviceObject, Irp, STATUS_WMI_READ_ONLY, minor, size, IrpDisposition);
      if (minor == IRP_MN_CHANGE_SINGLE_ITEM && !WmiLibInfo->SetWmiDataItem)
        return AnswerForMissing(DeviceObject, Irp, STATUS_WMI_READ_ONLY, minor, size, IrpDisposition);
      if (minor == IRP_MN_EXECUTE_METHOD && !WmiLibInfo->ExecuteWmiMethod)
        return AnswerForMissing(DeviceObject, Irp, STATUS_INVALID_DEVICE_REQUEST, minor, size, IrpDisposition);
      Wmi().libraryRequests[Irp] = LibraryRequest{minor, size, dataOffset, query || minor == IRP_MN_EXECUTE_METHOD ? avail : 0, 1};
      *IrpDisposition = IrpProcessed;
      switch (minor) {
        case IRP_MN_QUERY_SINGLE_INSTANCE:
          return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, guidIndex, index, 1, data ? sizeField : nullptr,
                                               avail, data);
        case IRP_MN_CHANGE_SINGLE_INSTANCE:
          return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, guidIndex, index, dataSize, buffer + dataOffset);
        case IRP_MN_CHANGE_SINGLE_ITEM:
          return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, guidIndex, index, id, dataSize, buffer + dataOffset);
        default:
          if (dataSize > avail) {
            Wmi().libraryRequests.erase(Irp);
            return NotCompleted(Irp, STATUS_INVALID_PARAMETER, IrpDisposition);
          }
          return WmiLibInfo->ExecuteWmiMethod(DeviceObject, Irp, guidIndex, index, id, dataSize, avail,
                                              buffer + dataOffset);
      }
    }
    default: {  // enable and disable of events and collection
      const bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
      const bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
      if (!WmiLibInfo->WmiFunctionControl)
        return AnswerForMissing(DeviceObject, Irp, STATUS_SUCCESS, minor, size, IrpDisposition);
      Wmi().libraryRequests[Irp] = LibraryRequest{minor, size, 0, 0, 0};
      *IrpDisposition = IrpProcessed;
      return WmiLibInfo->WmiFunctionControl(DeviceObject, Irp, guidIndex, events ? WmiEventControl : WmiDataBlockControl,
                                            enable ? TRUE : FALSE);
    }
  }
}

NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                            CCHAR PriorityBoost) {
  SetCall("WmiCompleteRequest");
  auto& requests = Wmi().libraryRequests;
  auto it = requests.find(Irp);
  if (it == requests.end()) {
    Report("WmiCompleteRequest on irp not from WmiSystemControl", DescribeDevice(DeviceObject));
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, PriorityBoost);
    return Status;
  }
  const LibraryRequest request = it->second;
  requests.erase(it);
  auto* buffer = static_cast<uint8_t*>(IoGetCurrentIrpStackLocation(Irp)->Parameters.WMI.Buffer);
  const bool answersData = request.minor == IRP_MN_QUERY_ALL_DATA || request.minor == IRP_MN_QUERY_SINGLE_INSTANCE ||
                           request.minor == IRP_MN_EXECUTE_METHOD;
  if (answersData && NT_SUCCESS(Status) && BufferUsed > request.bufferAvail) {
    Report("WmiCompleteRequest BufferUsed exceeds buffer",
           DescribeDevice(DeviceObject) + ": " + std::to_string(BufferUsed) + " bytes used of " +
               std::to_string(request.bufferAvail));
    Status = STATUS_BUFFER_TOO_SMALL;
  }
  ULONG_PTR information = 0;
  auto* header = reinterpret_cast<PWNODE_HEADER>(buffer);
  const uint64_t total = uint64_t{request.dataOffset} + BufferUsed;
  if (answersData && Status == STATUS_BUFFER_TOO_SMALL) {
    if (request.bufferSize >= sizeof(WNODE_TOO_SMALL) && total <= 0xFFFFFFFFu) {
      auto* small = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
      header->BufferSize = sizeof(WNODE_TOO_SMALL);
      header->Flags |= WNODE_FLAG_TOO_SMALL;
      small->SizeNeeded = static_cast<ULONG>(total);
      information = sizeof(WNODE_TOO_SMALL);
      Status = STATUS_SUCCESS;
    }
  } else if (answersData && NT_SUCCESS(Status)) {
    header->BufferSize = static_cast<ULONG>(total);
    information = static_cast<ULONG_PTR>(total);
    if (request.minor == IRP_MN_QUERY_ALL_DATA) {
      auto* wnode = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
      const ULONG n = request.instanceCount;
      // The driver wrote one ULONG per instance where the offset and length pairs go: spread
      // them from the last one down so that none is overwritten before it is read.
      auto* words = reinterpret_cast<PULONG>(wnode->OffsetInstanceDataAndLength);
      std::vector<ULONG> lengths(words, words + n);
      bool same = true;
      ULONG offset = request.dataOffset;
      for (ULONG i = 0; i < n; ++i) {
        wnode->OffsetInstanceDataAndLength[i].OffsetInstanceData = offset;
        wnode->OffsetInstanceDataAndLength[i].LengthInstanceData = lengths[i];
        offset += Align8(lengths[i]);
        same = same && lengths[i] == lengths[0];
      }
      wnode->DataBlockOffset = request.dataOffset;
      wnode->InstanceCount = n;
      wnode->OffsetInstanceNameOffsets = 0;
      header->Flags |= WNODE_FLAG_STATIC_INSTANCE_NAMES;
      if (n && same) {
        const ULONG fixedSize = lengths[0];
        header->Flags |= WNODE_FLAG_FIXED_INSTANCE_SIZE;
        wnode->FixedInstanceSize = fixedSize;
      }
    } else if (request.minor == IRP_MN_QUERY_SINGLE_INSTANCE) {
      reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->SizeDataBlock = BufferUsed;
    } else {
      reinterpret_cast<PWNODE_METHOD_ITEM>(buffer)->SizeDataBlock = BufferUsed;
    }
  }
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = information;
  IoCompleteRequest(Irp, PriorityBoost);
  return Status;
}

NTSTATUS WmiFireEvent(PDEVICE_OBJECT DeviceObject, LPCGUID Guid, ULONG InstanceIndex, ULONG EventDataSize,
                      PVOID EventData) {
  SetCall("WmiFireEvent");
  if (CurrentIrql() > DISPATCH_LEVEL)
    Report("WmiFireEvent above DISPATCH_LEVEL", "at IRQL " + std::to_string(CurrentIrql()));
  sim::wmi::FiredEvent event;
  event.device = DeviceObject;
  if (Guid) event.guid = *Guid;
  event.instanceIndex = InstanceIndex;
  if (EventData) {
    auto* bytes = static_cast<const uint8_t*>(EventData);
    event.data.assign(bytes, bytes + EventDataSize);
    ExFreePool(EventData);
  }
  Wmi().events.push_back(std::move(event));
  return STATUS_SUCCESS;
}
