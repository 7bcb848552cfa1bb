// The library half of usbd.sys: descriptor parsing and select-configuration URBs.
//
// Descriptors come from the device, so none of them is trusted: every walk stays inside the
// length it was given, a descriptor shorter than its own header (bLength < 2) or longer than
// what is left ends the walk, and no routine reads a field beyond a descriptor's bLength.
#include <cstdint>
#include <cstring>

#include "simkernel/usb.h"
#include "simkernel/wdm.h"

namespace {

// 'USBD' as the bytes lie in memory, as pool listings show it.
constexpr ULONG kUsbdTag = 'U' | ('S' << 8) | ('B' << 16) | (ULONG('D') << 24);

uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Bytes from p to end, or 0 when p is not before end.
size_t Remaining(uintptr_t p, uintptr_t end) { return p < end ? end - p : 0; }

// The descriptor at p if its header and its whole bLength lie before end, else null.
const USB_COMMON_DESCRIPTOR* WholeDescriptorAt(uintptr_t p, uintptr_t end) {
  if (Remaining(p, end) < sizeof(USB_COMMON_DESCRIPTOR)) return nullptr;
  auto* d = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(p);
  if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || d->bLength > Remaining(p, end)) return nullptr;
  return d;
}

// End of the configuration as its header declares it; 0 when the header itself is unusable.
uintptr_t ConfigurationEnd(const USB_CONFIGURATION_DESCRIPTOR* configuration) {
  if (!configuration || configuration->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return 0;
  return Address(configuration) + configuration->wTotalLength;
}

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; }

}  // namespace

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType) {
  if (!DescriptorBuffer || !StartPosition) return nullptr;
  const uintptr_t begin = Address(DescriptorBuffer);
  const uintptr_t end = begin + TotalLength;
  uintptr_t p = Address(StartPosition);
  if (p < begin || p >= end) return nullptr;
  while (auto* d = WholeDescriptorAt(p, end)) {
    if (d->bDescriptorType == DescriptorType) return const_cast<PUSB_COMMON_DESCRIPTOR>(d);
    p += d->bLength;
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (!ConfigurationEnd(ConfigurationDescriptor)) return nullptr;
  const ULONG total = ConfigurationDescriptor->wTotalLength;
  PVOID position = StartPosition;
  // Each round moves past the descriptor it looked at, so the walk ends within wTotalLength.
  while (auto* found = USBD_ParseDescriptors(ConfigurationDescriptor, total, position, USB_INTERFACE_DESCRIPTOR_TYPE)) {
    // A truncated interface descriptor has no fields to match against.
    if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto* iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
      if (Matches(InterfaceNumber, iface->bInterfaceNumber) && Matches(AlternateSetting, iface->bAlternateSetting) &&
          Matches(InterfaceClass, iface->bInterfaceClass) && Matches(InterfaceSubClass, iface->bInterfaceSubClass) &&
          Matches(InterfaceProtocol, iface->bInterfaceProtocol))
        return iface;
    }
    position = reinterpret_cast<PUCHAR>(found) + found->bLength;
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                  UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                             AlternateSetting, -1, -1, -1);
}

ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
  if (!InterfaceDescriptor || !BufferEnd) return 0;
  const uintptr_t end = Address(BufferEnd);
  uintptr_t p = Address(InterfaceDescriptor);
  ULONG length = 0;
  while (auto* d = WholeDescriptorAt(p, end)) {
    if (length != 0 && d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    length += d->bLength;
    p += d->bLength;
  }
  return length;
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  const uintptr_t end = ConfigurationEnd(ConfigurationDescriptor);
  if (!end || !InterfaceList) return nullptr;

  // The URB length is a USHORT: a list that would not fit is refused, not truncated.
  size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  size_t interfaces = 0;
  for (auto* entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    const uintptr_t d = Address(entry->InterfaceDescriptor);
    // Only whole interface descriptors of this configuration can be selected.
    if (d < Address(ConfigurationDescriptor) || !WholeDescriptorAt(d, end) ||
        entry->InterfaceDescriptor->bLength < sizeof(USB_INTERFACE_DESCRIPTOR) ||
        entry->InterfaceDescriptor->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE)
      return nullptr;
    size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    ++interfaces;
    if (size > 0xFFFF) return nullptr;
  }
  if (interfaces == 0) return nullptr;

  // Never smaller than the fixed part, so the union's named fields are always inside the block.
  constexpr size_t kFixedPart = sizeof(struct _URB_SELECT_CONFIGURATION);
  const size_t allocation = size < kFixedPart ? kFixedPart : size;
  auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, allocation, kUsbdTag));
  if (!urb) return nullptr;
  std::memset(urb, 0, allocation);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  auto* info = &urb->UrbSelectConfiguration.Interface;
  for (auto* entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
    const auto* d = entry->InterfaceDescriptor;
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
    info->InterfaceNumber = d->bInterfaceNumber;
    info->AlternateSetting = d->bAlternateSetting;
    info->NumberOfPipes = d->bNumEndpoints;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[i].PipeFlags = 0;
    }
    entry->Interface = info;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
  }
  return urb;
}

PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
  if (Siz) *Siz = 0;
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor =
      USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1, -1);
  if (!list[0].InterfaceDescriptor) return nullptr;
  PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
  if (urb && Siz) *Siz = urb->UrbHeader.Length;
  return urb;
}
