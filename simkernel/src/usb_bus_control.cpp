// Endpoint 0 work carried out in a frame of the host controller: descriptor reads, vendor and
// class requests, configuration selection with its pipes, and pipe resets.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "simkernel/pool.h"
#include "race_annotations.h"
#include "usb_bus_internal.h"

namespace sim::usb::bus {
namespace {

constexpr size_t kSelectConfigurationFixed = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);

struct InterfaceLayout {
  USB_INTERFACE_DESCRIPTOR descriptor{};
  std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
};

// The interfaces of a configuration descriptor the device itself gave, walked within its length.
std::vector<InterfaceLayout> ParseInterfaces(const std::vector<uint8_t>& configuration) {
  std::vector<InterfaceLayout> interfaces;
  size_t offset = 0;
  while (offset + 2 <= configuration.size()) {
    const uint8_t length = configuration[offset];
    const uint8_t type = configuration[offset + 1];
    if (length < 2 || offset + length > configuration.size()) break;
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      interfaces.emplace_back();
      std::memcpy(&interfaces.back().descriptor, &configuration[offset], sizeof(USB_INTERFACE_DESCRIPTOR));
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
               !interfaces.empty() &&
               interfaces.back().endpoints.size() < interfaces.back().descriptor.bNumEndpoints) {
      USB_ENDPOINT_DESCRIPTOR endpoint;
      std::memcpy(&endpoint, &configuration[offset], sizeof endpoint);
      interfaces.back().endpoints.push_back(endpoint);
    }
    offset += length;
  }
  return interfaces;
}

// The device's configuration descriptor with this value, as the device reports it.
std::vector<uint8_t> DeviceConfiguration(UsbDevice& device, uint8_t value) {
  const std::vector<uint8_t> deviceDescriptor = device.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0);
  const unsigned count = deviceDescriptor.size() >= sizeof(USB_DEVICE_DESCRIPTOR) ? deviceDescriptor[17] : 1;
  for (unsigned index = 0; index < count; ++index) {
    std::vector<uint8_t> configuration = device.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, uint8_t(index), 0);
    if (configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || configuration[5] != value) continue;
    const size_t total = size_t(configuration[2]) | size_t(configuration[3]) << 8;
    if (total < configuration.size()) configuration.resize(total);
    return configuration;
  }
  return {};
}

// Compares the driver's copy with the device's, reading no further than the first difference
// and, for a pool block, no further than its end.
bool SameAsDevice(const USB_CONFIGURATION_DESCRIPTOR* copy, const std::vector<uint8_t>& device) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(copy);
  size_t readable = device.size();
  if (auto block = pool::FindBlock(copy)) {
    const size_t inBlock = static_cast<const uint8_t*>(block->address) + block->size - bytes;
    readable = std::min(readable, inBlock);
  }
  for (size_t i = 0; i < readable; ++i)
    if (bytes[i] != device[i]) return false;
  return readable == device.size();
}

USBD_PIPE_TYPE PipeTypeOf(const USB_ENDPOINT_DESCRIPTOR& endpoint) {
  return static_cast<USBD_PIPE_TYPE>(endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK);
}

struct Selection {
  PUSBD_INTERFACE_INFORMATION info;
  const InterfaceLayout* layout;
};

USBD_STATUS CheckPipeRequests(const Selection& selection) {
  for (size_t i = 0; i < selection.layout->endpoints.size(); ++i) {
    const USBD_PIPE_INFORMATION& request = selection.info->Pipes[i];
    if (request.PipeFlags & ~ULONG(USBD_PF_CHANGE_MAX_PACKET | USBD_PF_DOUBLE_BUFFER))
      return USBD_STATUS_INAVLID_PIPE_FLAGS;
    if ((request.PipeFlags & USBD_PF_CHANGE_MAX_PACKET) &&
        (request.MaximumPacketSize == 0 || request.MaximumPacketSize > (selection.layout->endpoints[i].wMaxPacketSize & 0x7FF)))
      return USBD_STATUS_INAVLID_PIPE_FLAGS;
  }
  return USBD_STATUS_SUCCESS;
}

void OpenPipes(Slot& slot, const Selection& selection) {
  BusState& bus = Bus();
  PUSBD_INTERFACE_INFORMATION info = selection.info;
  const USB_INTERFACE_DESCRIPTOR& descriptor = selection.layout->descriptor;
  info->Class = descriptor.bInterfaceClass;
  info->SubClass = descriptor.bInterfaceSubClass;
  info->Protocol = descriptor.bInterfaceProtocol;
  info->InterfaceHandle = NewHandle();
  info->NumberOfPipes = static_cast<ULONG>(selection.layout->endpoints.size());
  for (size_t i = 0; i < selection.layout->endpoints.size(); ++i) {
    const USB_ENDPOINT_DESCRIPTOR& endpoint = selection.layout->endpoints[i];
    USBD_PIPE_INFORMATION& out = info->Pipes[i];
    auto pipe = std::make_unique<Pipe>();
    pipe->handle = NewHandle();
    pipe->slot = &slot;
    pipe->endpoint = endpoint.bEndpointAddress;
    pipe->type = PipeTypeOf(endpoint);
    // Bits 11 and 12 only count at high speed.
    const uint16_t endpointPacket = endpoint.wMaxPacketSize & 0x7FF;
    pipe->maxPacket = (out.PipeFlags & USBD_PF_CHANGE_MAX_PACKET) ? out.MaximumPacketSize : endpointPacket;
    pipe->interval = endpoint.bInterval;
    pipe->maxTransfer = out.MaximumTransferSize;
    out.MaximumPacketSize = pipe->maxPacket;
    out.EndpointAddress = pipe->endpoint;
    out.Interval = pipe->interval;
    out.PipeType = pipe->type;
    out.PipeHandle = pipe->handle;
    bus.pipes[pipe->handle] = pipe.get();
    slot.pipes.push_back(std::move(pipe));
  }
}

ControlOutcome SelectConfiguration(Slot& slot, Transfer& transfer, USBD_STATUS* status,
                                   std::vector<TransferPtr>* aborted) {
  auto& r = transfer.urb->UrbSelectConfiguration;
  if (!r.ConfigurationDescriptor) {
    const Handshake handshake = slot.device->SetConfiguration(0);
    if (handshake == Handshake::Nak) return ControlOutcome::Nak;
    if (handshake == Handshake::Stall) {
      *status = USBD_STATUS_SET_CONFIG_FAILED;
      return ControlOutcome::Done;
    }
    *aborted = ClosePipes(slot);
    slot.configurationHandle = nullptr;
    slot.configurationValue = 0;
    r.ConfigurationHandle = nullptr;
    *status = USBD_STATUS_SUCCESS;
    return ControlOutcome::Done;
  }

  const uint8_t value = r.ConfigurationDescriptor->bConfigurationValue;
  const std::vector<uint8_t> device = DeviceConfiguration(*slot.device, value);
  if (device.empty() || !SameAsDevice(r.ConfigurationDescriptor, device)) {
    *status = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    return ControlOutcome::Done;
  }
  const std::vector<InterfaceLayout> interfaces = ParseInterfaces(device);
  const unsigned interfaceCount = device[4];

  // The interface entries follow one another, each as long as its own Length says.
  std::vector<Selection> selections;
  size_t offset = kSelectConfigurationFixed;
  const size_t urbLength = r.Hdr.Length;
  auto* base = reinterpret_cast<uint8_t*>(transfer.urb);
  while (selections.size() < interfaceCount && offset + GET_USBD_INTERFACE_SIZE(0) <= urbLength) {
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + offset);
    auto layout = std::find_if(interfaces.begin(), interfaces.end(), [&](const InterfaceLayout& l) {
      return l.descriptor.bInterfaceNumber == info->InterfaceNumber &&
             l.descriptor.bAlternateSetting == info->AlternateSetting;
    });
    if (layout == interfaces.end()) {
      *status = USBD_STATUS_INTERFACE_NOT_FOUND;
      return ControlOutcome::Done;
    }
    if (info->Length < GET_USBD_INTERFACE_SIZE(layout->endpoints.size()) || offset + info->Length > urbLength) {
      *status = USBD_STATUS_INVALID_PARAMETER;
      return ControlOutcome::Done;
    }
    selections.push_back({info, &*layout});
    if (USBD_STATUS check = CheckPipeRequests(selections.back()); !USBD_SUCCESS(check)) {
      *status = check;
      return ControlOutcome::Done;
    }
    offset += info->Length;
  }
  if (selections.empty()) {
    *status = USBD_STATUS_INVALID_PARAMETER;
    return ControlOutcome::Done;
  }

  const Handshake handshake = slot.device->SetConfiguration(value);
  if (handshake == Handshake::Nak) return ControlOutcome::Nak;
  if (handshake == Handshake::Stall) {
    *status = USBD_STATUS_SET_CONFIG_FAILED;
    return ControlOutcome::Done;
  }
  *aborted = ClosePipes(slot);
  for (const Selection& selection : selections) OpenPipes(slot, selection);
  slot.configurationHandle = NewHandle();
  slot.configurationValue = value;
  r.ConfigurationHandle = slot.configurationHandle;
  *status = USBD_STATUS_SUCCESS;
  return ControlOutcome::Done;
}

}  // namespace

ControlOutcome RunControl(Slot& slot, Transfer& transfer, USBD_STATUS* status, std::vector<TransferPtr>* aborted) {
  UsbDevice& device = *slot.device;
  switch (transfer.work) {
    case Work::Descriptor: {
      const uint8_t type = static_cast<uint8_t>(transfer.setup.wValue >> 8);
      const uint8_t index = static_cast<uint8_t>(transfer.setup.wValue);
      const std::vector<uint8_t> descriptor = device.GetDescriptor(type, index, transfer.setup.wIndex);
      if (descriptor.empty()) {
        *status = USBD_STATUS_STALL_PID;
        return ControlOutcome::Done;
      }
      transfer.done = static_cast<ULONG>(std::min<size_t>(descriptor.size(), transfer.length));
      race::Write(transfer.buffer, transfer.done);
      std::memcpy(transfer.buffer, descriptor.data(), transfer.done);
      *status = USBD_STATUS_SUCCESS;
      return ControlOutcome::Done;
    }
    case Work::Request: {
      std::vector<uint8_t> data;
      if (!transfer.in && transfer.length) {
        race::Read(transfer.buffer, transfer.length);
        data.assign(transfer.buffer, transfer.buffer + transfer.length);
      }
      const Handshake handshake = device.ControlTransfer(transfer.setup, data);
      if (handshake == Handshake::Nak) return ControlOutcome::Nak;
      if (handshake == Handshake::Stall) {
        *status = USBD_STATUS_STALL_PID;
        return ControlOutcome::Done;
      }
      if (transfer.in) {
        transfer.done = static_cast<ULONG>(std::min<size_t>(data.size(), transfer.length));
        race::Write(transfer.buffer, transfer.done);
        if (transfer.done) std::memcpy(transfer.buffer, data.data(), transfer.done);
      } else {
        transfer.done = transfer.length;
      }
      *status = USBD_STATUS_SUCCESS;
      return ControlOutcome::Done;
    }
    case Work::SelectConfiguration:
      return SelectConfiguration(slot, transfer, status, aborted);
    case Work::ResetPipe:
      if (!transfer.pipe) {
        *status = USBD_STATUS_INVALID_PIPE_HANDLE;
        return ControlOutcome::Done;
      }
      device.ResetEndpoint(transfer.pipe->endpoint);
      transfer.pipe->halted = false;
      transfer.pipe->parked = false;
      *status = USBD_STATUS_SUCCESS;
      return ControlOutcome::Done;
    case Work::Data:
      break;
  }
  *status = USBD_STATUS_INTERNAL_HC_ERROR;
  return ControlOutcome::Done;
}

}  // namespace sim::usb::bus
