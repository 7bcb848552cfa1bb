// The WMI service's side: requests built as WNODEs in a poisoned buffer, sent to the top of the
// provider's stack, and the answers decoded.
#include <cstring>

#include "io_internal.h"
#include "wmi_internal.h"

using sim::wmim::Align8;
using sim::wmim::Wmi;

namespace sim::wmi {
namespace {

constexpr uint8_t kPoison = 0xA5;

template <class T>
void Put(std::vector<uint8_t>& buffer, const T& value) {
  std::memcpy(buffer.data(), &value, std::min(sizeof(T), buffer.size()));
}

template <class T>
T Get(const std::vector<uint8_t>& buffer) {
  T value{};
  std::memcpy(&value, buffer.data(), std::min(sizeof(T), buffer.size()));
  return value;
}

void PutName(std::vector<uint8_t>& buffer, ULONG offset, std::u16string_view name) {
  const USHORT length = static_cast<USHORT>(name.size() * sizeof(char16_t));
  if (offset + sizeof(USHORT) + length > buffer.size()) return;
  std::memcpy(buffer.data() + offset, &length, sizeof(length));
  std::memcpy(buffer.data() + offset + sizeof(USHORT), name.data(), length);
}

WNODE_HEADER Header(const RawRequest& request, ULONG_PTR provider, ULONG flags) {
  WNODE_HEADER header{};
  header.BufferSize = request.bufferSize;
  header.ProviderId = static_cast<ULONG>(provider);
  header.Version = 1;
  header.Guid = request.guid;
  header.Flags = flags;
  return header;
}

// The single-instance, item and method WNODEs: fixed part, instance name, then the data at
// an 8-byte boundary.
ULONG LayOut(const RawRequest& request, ULONG fixed, ULONG* bufferSize) {
  const ULONG nameOffset = fixed;
  const ULONG dataOffset = Align8(nameOffset + sizeof(USHORT) + static_cast<ULONG>(request.instanceName.size() * 2));
  if (!request.input.empty())
    *bufferSize = std::max<ULONG>(*bufferSize, dataOffset + static_cast<ULONG>(request.input.size()));
  return dataOffset;
}

void DecodeAllData(const std::vector<uint8_t>& b, ULONG used, const std::optional<RegisteredGuid>& guid, Answer* a) {
  constexpr ULONG kHeader = offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength);
  if (used < kHeader + sizeof(ULONG)) {
    a->problem = "all-data answer of " + std::to_string(used) + " bytes";
    return;
  }
  WNODE_ALL_DATA wnode;
  std::memcpy(&wnode, b.data(), sizeof(wnode));
  const ULONG n = wnode.InstanceCount;
  const bool fixed = wnode.WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE;
  if (!fixed && n > (used - kHeader) / sizeof(OFFSETINSTANCEDATAANDLENGTH)) {
    a->problem = std::to_string(n) + " instance offsets do not fit";
    return;
  }
  for (ULONG i = 0; i < n; ++i) {
    uint64_t offset, length;
    if (fixed) {
      length = wnode.FixedInstanceSize;
      offset = wnode.DataBlockOffset + i * uint64_t{Align8(wnode.FixedInstanceSize)};
    } else {
      OFFSETINSTANCEDATAANDLENGTH entry;
      std::memcpy(&entry, b.data() + kHeader + i * sizeof(entry), sizeof(entry));
      offset = entry.OffsetInstanceData;
      length = entry.LengthInstanceData;
    }
    if (offset + length > used) {
      a->problem = "instance " + std::to_string(i) + " lies outside the answer";
      return;
    }
    Instance instance;
    instance.index = i;
    if (guid && i < guid->instanceNames.size()) instance.name = guid->instanceNames[i];
    instance.data.assign(b.begin() + static_cast<ptrdiff_t>(offset), b.begin() + static_cast<ptrdiff_t>(offset + length));
    a->instances.push_back(std::move(instance));
  }
}

void DecodeOne(const std::vector<uint8_t>& b, ULONG used, ULONG index, ULONG offset, ULONG length,
               const RawRequest& request, Answer* a) {
  if (uint64_t{offset} + length > used) {
    a->problem = "data block outside the answer";
    return;
  }
  Instance instance;
  instance.index = index;
  instance.name = request.instanceName;
  instance.data.assign(b.begin() + offset, b.begin() + offset + length);
  a->instances.push_back(std::move(instance));
}

std::optional<RegisteredGuid> FindGuid(PDEVICE_OBJECT device, const GUID& guid) {
  auto it = Wmi().registrations.find(device);
  if (it == Wmi().registrations.end()) return std::nullopt;
  for (const auto& entry : it->second.guids)
    if (sim::wmim::SameGuid(entry.guid, guid)) return entry;
  return std::nullopt;
}

Answer Refused(NTSTATUS status) {
  Answer answer;
  answer.status = status;
  return answer;
}

// The WMI service knows instances by their names; the provider by their index.
std::optional<Answer> Resolve(PDEVICE_OBJECT device, const GUID& guid, std::u16string_view name, RawRequest* request) {
  auto entry = FindGuid(device, guid);
  if (!entry) return Refused(STATUS_WMI_GUID_NOT_FOUND);
  const std::u16string folded = sim::iom::Fold(name);
  for (size_t i = 0; i < entry->instanceNames.size(); ++i) {
    if (sim::iom::Fold(entry->instanceNames[i]) != folded) continue;
    request->guid = guid;
    request->instanceIndex = static_cast<ULONG>(i);
    request->instanceName = entry->instanceNames[i];
    return std::nullopt;
  }
  return Refused(STATUS_WMI_INSTANCE_NOT_FOUND);
}

}  // namespace

Answer Send(PDEVICE_OBJECT device, const RawRequest& request) {
  ULONG bufferSize = request.bufferSize;
  ULONG dataOffset = 0;
  const ULONG_PTR provider = request.providerId.value_or(reinterpret_cast<ULONG_PTR>(device));
  const UCHAR minor = request.minor;
  switch (minor) {
    case IRP_MN_QUERY_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
      dataOffset = LayOut(request, sizeof(WNODE_SINGLE_INSTANCE), &bufferSize);
      break;
    case IRP_MN_CHANGE_SINGLE_ITEM:
      dataOffset = LayOut(request, sizeof(WNODE_SINGLE_ITEM), &bufferSize);
      break;
    case IRP_MN_EXECUTE_METHOD:
      dataOffset = LayOut(request, sizeof(WNODE_METHOD_ITEM), &bufferSize);
      break;
    default:
      break;
  }
  std::vector<uint8_t> buffer(bufferSize, kPoison);
  RawRequest sized = request;
  sized.bufferSize = bufferSize;
  const ULONG inputSize = static_cast<ULONG>(request.input.size());
  auto withData = [&](auto wnode, ULONG fixed) {
    wnode.OffsetInstanceName = fixed;
    wnode.InstanceIndex = request.instanceIndex;
    wnode.DataBlockOffset = dataOffset;
    Put(buffer, wnode);
    PutName(buffer, fixed, request.instanceName);
    if (inputSize && dataOffset + inputSize <= buffer.size())
      std::memcpy(buffer.data() + dataOffset, request.input.data(), inputSize);
  };
  constexpr ULONG kStatic = WNODE_FLAG_STATIC_INSTANCE_NAMES;
  switch (minor) {
    case IRP_MN_QUERY_ALL_DATA:
      Put(buffer, Header(sized, provider, WNODE_FLAG_ALL_DATA));
      break;
    case IRP_MN_QUERY_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
      WNODE_SINGLE_INSTANCE wnode{};
      wnode.WnodeHeader = Header(sized, provider, WNODE_FLAG_SINGLE_INSTANCE | kStatic);
      wnode.SizeDataBlock = minor == IRP_MN_CHANGE_SINGLE_INSTANCE ? inputSize : 0;
      withData(wnode, sizeof(WNODE_SINGLE_INSTANCE));
      break;
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
      WNODE_SINGLE_ITEM wnode{};
      wnode.WnodeHeader = Header(sized, provider, WNODE_FLAG_SINGLE_ITEM | kStatic);
      wnode.ItemId = request.itemOrMethodId;
      wnode.SizeDataItem = inputSize;
      withData(wnode, sizeof(WNODE_SINGLE_ITEM));
      break;
    }
    case IRP_MN_EXECUTE_METHOD: {
      WNODE_METHOD_ITEM wnode{};
      wnode.WnodeHeader = Header(sized, provider, WNODE_FLAG_METHOD_ITEM | kStatic);
      wnode.MethodId = request.itemOrMethodId;
      wnode.SizeDataBlock = inputSize;
      withData(wnode, sizeof(WNODE_METHOD_ITEM));
      break;
    }
    case IRP_MN_REGINFO:
      break;
    default:  // enable, disable and anything else: a bare header
      Put(buffer, Header(sized, provider, 0));
      break;
  }

  io::RawIrp raw;
  raw.major = IRP_MJ_SYSTEM_CONTROL;
  raw.minor = minor;
  raw.initialStatus = STATUS_NOT_SUPPORTED;
  uint8_t* data = buffer.data();
  const ULONG_PTR dataPath = request.dataPath;
  GUID* guid = const_cast<GUID*>(&request.guid);  // the caller's, alive until Send returns
  raw.setup = [=](PIO_STACK_LOCATION sp) {
    sp->Parameters.WMI.ProviderId = provider;
    sp->Parameters.WMI.DataPath = minor == IRP_MN_REGINFO ? reinterpret_cast<PVOID>(dataPath) : guid;
    sp->Parameters.WMI.BufferSize = bufferSize;
    sp->Parameters.WMI.Buffer = data;
  };
  const io::Result result = io::Send(request.toTopOfStack ? io::TopOfStack(device) : device, raw);

  Answer answer;
  answer.sent = true;
  answer.status = result.status;
  answer.information = result.information;
  answer.boost = result.boost;
  answer.buffer = buffer;
  if (result.information > bufferSize) {
    answer.problem = "Information " + std::to_string(result.information) + " exceeds the buffer of " +
                     std::to_string(bufferSize);
    return answer;
  }
  const ULONG used = static_cast<ULONG>(result.information);
  if (!NT_SUCCESS(result.status) || minor == IRP_MN_REGINFO || used < sizeof(WNODE_HEADER)) return answer;
  const auto header = Get<WNODE_HEADER>(buffer);
  answer.flags = header.Flags;
  if (header.Flags & WNODE_FLAG_TOO_SMALL) {
    answer.tooSmall = true;
    if (used >= sizeof(WNODE_TOO_SMALL)) answer.sizeNeeded = Get<WNODE_TOO_SMALL>(buffer).SizeNeeded;
    return answer;
  }
  const bool answersData =
      minor == IRP_MN_QUERY_ALL_DATA || minor == IRP_MN_QUERY_SINGLE_INSTANCE || minor == IRP_MN_EXECUTE_METHOD;
  if (answersData && header.BufferSize != used) {
    answer.problem = "WnodeHeader.BufferSize " + std::to_string(header.BufferSize) + " with Information " +
                     std::to_string(used);
    return answer;
  }
  if (minor == IRP_MN_QUERY_ALL_DATA) {
    DecodeAllData(buffer, used, FindGuid(device, request.guid), &answer);
  } else if (minor == IRP_MN_QUERY_SINGLE_INSTANCE && used >= sizeof(WNODE_SINGLE_INSTANCE)) {
    const auto wnode = Get<WNODE_SINGLE_INSTANCE>(buffer);
    DecodeOne(buffer, used, wnode.InstanceIndex, wnode.DataBlockOffset, wnode.SizeDataBlock, request, &answer);
  } else if (minor == IRP_MN_EXECUTE_METHOD && used >= sizeof(WNODE_METHOD_ITEM)) {
    const auto wnode = Get<WNODE_METHOD_ITEM>(buffer);
    DecodeOne(buffer, used, wnode.InstanceIndex, wnode.DataBlockOffset, wnode.SizeDataBlock, request, &answer);
  }
  return answer;
}

Answer QueryAllData(PDEVICE_OBJECT device, const GUID& guid, ULONG bufferSize) {
  if (!FindGuid(device, guid)) return Refused(STATUS_WMI_GUID_NOT_FOUND);
  RawRequest request;
  request.minor = IRP_MN_QUERY_ALL_DATA;
  request.guid = guid;
  request.bufferSize = bufferSize;
  return Send(device, request);
}

Answer QuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, std::u16string_view instanceName,
                           ULONG bufferSize) {
  RawRequest request;
  if (auto refused = Resolve(device, guid, instanceName, &request)) return *refused;
  request.minor = IRP_MN_QUERY_SINGLE_INSTANCE;
  request.bufferSize = bufferSize;
  return Send(device, request);
}

Answer SetSingleInstance(PDEVICE_OBJECT device, const GUID& guid, std::u16string_view instanceName,
                         std::span<const uint8_t> data) {
  RawRequest request;
  if (auto refused = Resolve(device, guid, instanceName, &request)) return *refused;
  request.minor = IRP_MN_CHANGE_SINGLE_INSTANCE;
  request.input.assign(data.begin(), data.end());
  request.bufferSize = 0;  // exactly the WNODE and the data
  return Send(device, request);
}

Answer SetSingleItem(PDEVICE_OBJECT device, const GUID& guid, std::u16string_view instanceName, ULONG itemId,
                     std::span<const uint8_t> data) {
  RawRequest request;
  if (auto refused = Resolve(device, guid, instanceName, &request)) return *refused;
  request.minor = IRP_MN_CHANGE_SINGLE_ITEM;
  request.itemOrMethodId = itemId;
  request.input.assign(data.begin(), data.end());
  request.bufferSize = 0;
  return Send(device, request);
}

Answer ExecuteMethod(PDEVICE_OBJECT device, const GUID& guid, std::u16string_view instanceName, ULONG methodId,
                     std::span<const uint8_t> input, ULONG bufferSize) {
  RawRequest request;
  if (auto refused = Resolve(device, guid, instanceName, &request)) return *refused;
  request.minor = IRP_MN_EXECUTE_METHOD;
  request.itemOrMethodId = methodId;
  request.input.assign(input.begin(), input.end());
  request.bufferSize = bufferSize;
  return Send(device, request);
}

namespace {
Answer Control(PDEVICE_OBJECT device, const GUID& guid, UCHAR minor) {
  if (!FindGuid(device, guid)) return Refused(STATUS_WMI_GUID_NOT_FOUND);
  RawRequest request;
  request.minor = minor;
  request.guid = guid;
  request.bufferSize = sizeof(WNODE_HEADER);
  return Send(device, request);
}
}  // namespace

Answer SetEvents(PDEVICE_OBJECT device, const GUID& guid, bool enable) {
  return Control(device, guid, enable ? IRP_MN_ENABLE_EVENTS : IRP_MN_DISABLE_EVENTS);
}

Answer SetCollection(PDEVICE_OBJECT device, const GUID& guid, bool enable) {
  return Control(device, guid, enable ? IRP_MN_ENABLE_COLLECTION : IRP_MN_DISABLE_COLLECTION);
}

}  // namespace sim::wmi
