#include "simkernel/usb_capture.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "simkernel/machine.h"

namespace sim::usb {

namespace {

// File header: nanosecond-resolution pcap, so 100-ns virtual time is kept exactly.
//   u32 magic 0xA1B23C4D, u16 version 2, u16 version 4, i32 thiszone 0, u32 sigfigs 0,
//   u32 snaplen, u32 linktype 249. Little-endian throughout.
constexpr uint32_t kPcapMagicNanoseconds = 0xA1B23C4D;
constexpr uint32_t kSnapLength = 65535;

// USBPcap packet header, packed, little-endian, in front of every record's data:
//   off  0 u16 headerLen    27, or 28 with the control stage byte
//   off  2 u64 irpId        identifies the request across submission and completion
//   off 10 u32 status       USBD status (0 on submission)
//   off 14 u16 function     URB function
//   off 16 u8  info         bit 0: 1 = completion (PDO to FDO), 0 = submission
//   off 17 u16 bus          root hub number
//   off 19 u16 device       device address
//   off 21 u8  endpoint     endpoint address, bit 7 set for IN
//   off 22 u8  transfer     PcapTransfer
//   off 23 u32 dataLength   bytes following the header
//   off 27 u8  stage        control transfers only: PcapControlStage
constexpr uint16_t kHeaderLength = 27;
constexpr uint16_t kControlHeaderLength = 28;
constexpr uint8_t kInfoPdoToFdo = 0x01;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v));
  Put16(out, static_cast<uint16_t>(v >> 16));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
  Put32(out, static_cast<uint32_t>(v));
  Put32(out, static_cast<uint32_t>(v >> 32));
}

std::array<uint8_t, 8> SetupBytes(const SetupPacket& s) {
  return {s.bmRequestType, s.bRequest, static_cast<uint8_t>(s.wValue), static_cast<uint8_t>(s.wValue >> 8),
          static_cast<uint8_t>(s.wIndex), static_cast<uint8_t>(s.wIndex >> 8), static_cast<uint8_t>(s.wLength),
          static_cast<uint8_t>(s.wLength >> 8)};
}

bool IsIn(UCHAR endpoint) { return (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0; }

std::span<const uint8_t> Bytes(const void* buffer, const MDL* mdl, ULONG length) {
  if (!buffer && mdl) buffer = MmGetMdlVirtualAddress(mdl);
  if (!buffer || length == 0) return {};
  return {static_cast<const uint8_t*>(buffer), length};
}

// How a URB appears on the wire.
struct UrbView {
  PcapTransfer type = PcapTransfer::IrpInfo;
  UCHAR endpoint = 0;
  std::optional<SetupPacket> setup;
  std::span<const uint8_t> data;
};

std::optional<UCHAR> RequestTypeOf(USHORT function) {
  constexpr UCHAR kVendor = 0x40, kClass = 0x20;
  constexpr UCHAR kDevice = 0, kInterface = 1, kEndpoint = 2, kOther = 3;
  switch (function) {
    case URB_FUNCTION_VENDOR_DEVICE: return kVendor | kDevice;
    case URB_FUNCTION_VENDOR_INTERFACE: return kVendor | kInterface;
    case URB_FUNCTION_VENDOR_ENDPOINT: return kVendor | kEndpoint;
    case URB_FUNCTION_VENDOR_OTHER: return kVendor | kOther;
    case URB_FUNCTION_CLASS_DEVICE: return kClass | kDevice;
    case URB_FUNCTION_CLASS_INTERFACE: return kClass | kInterface;
    case URB_FUNCTION_CLASS_ENDPOINT: return kClass | kEndpoint;
    case URB_FUNCTION_CLASS_OTHER: return kClass | kOther;
    default: return std::nullopt;
  }
}

UrbView ViewOf(const URB* urb, UCHAR endpoint, PcapTransfer pipeType) {
  UrbView view;
  const USHORT function = urb->UrbHeader.Function;
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      const auto& r = urb->UrbControlDescriptorRequest;
      view.type = PcapTransfer::Control;
      view.setup = SetupPacket{0x80, USB_REQUEST_GET_DESCRIPTOR,
                               USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(r.DescriptorType, r.Index), r.LanguageId,
                               static_cast<uint16_t>(r.TransferBufferLength)};
      view.data = Bytes(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength);
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      const auto* configuration = urb->UrbSelectConfiguration.ConfigurationDescriptor;
      view.type = PcapTransfer::Control;
      view.setup = SetupPacket{0x00, USB_REQUEST_SET_CONFIGURATION,
                               static_cast<uint16_t>(configuration ? configuration->bConfigurationValue : 0), 0, 0};
      break;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
      const auto& r = urb->UrbControlTransfer;
      const uint8_t* s = r.SetupPacket;
      view.type = PcapTransfer::Control;
      view.setup = SetupPacket{s[0], s[1], static_cast<uint16_t>(s[2] | s[3] << 8),
                               static_cast<uint16_t>(s[4] | s[5] << 8), static_cast<uint16_t>(s[6] | s[7] << 8)};
      view.data = Bytes(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength);
      break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      const auto& r = urb->UrbBulkOrInterruptTransfer;
      view.type = pipeType;
      view.endpoint = endpoint;
      view.data = Bytes(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength);
      break;
    }
    default:
      if (auto requestType = RequestTypeOf(function)) {
        const auto& r = urb->UrbControlVendorClassRequest;
        const bool in = USBD_TRANSFER_DIRECTION(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
        view.type = PcapTransfer::Control;
        view.setup = SetupPacket{static_cast<uint8_t>((in ? 0x80 : 0x00) | *requestType | r.RequestTypeReservedBits),
                                 r.Request, r.Value, r.Index, static_cast<uint16_t>(r.TransferBufferLength)};
        view.data = Bytes(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength);
      } else {
        view.endpoint = endpoint;
      }
      break;
  }
  if (view.setup) view.endpoint = view.setup->bmRequestType & USB_ENDPOINT_DIRECTION_MASK;
  return view;
}

}  // namespace

std::unique_ptr<Capture> Capture::Open(const std::string& path, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  std::vector<uint8_t> header;
  Put32(header, kPcapMagicNanoseconds);
  Put16(header, 2);
  Put16(header, 4);
  Put32(header, 0);
  Put32(header, 0);
  Put32(header, kSnapLength);
  Put32(header, kLinkTypeUsbPcap);
  if (std::fwrite(header.data(), 1, header.size(), file) != header.size()) {
    if (error) *error = "cannot write " + path + ": " + std::strerror(errno);
    std::fclose(file);
    return nullptr;
  }
  return std::unique_ptr<Capture>(new Capture(file));
}

Capture::Capture(std::FILE* file) : file_(file) {}

Capture::~Capture() { std::fclose(file_); }

void Capture::SetDevice(uint16_t bus, uint16_t deviceAddress) {
  std::lock_guard lock(mutex_);
  bus_ = bus;
  device_ = deviceAddress;
}

void Capture::RecordSubmit(uint64_t irpId, USHORT urbFunction, UCHAR endpoint, PcapTransfer type,
                           const std::optional<SetupPacket>& setup, std::span<const uint8_t> data) {
  if (type == PcapTransfer::Control && !setup) type = PcapTransfer::IrpInfo;
  if (type == PcapTransfer::Control) {
    endpoint = (endpoint & ~USB_ENDPOINT_DIRECTION_MASK) | (setup->bmRequestType & USB_ENDPOINT_DIRECTION_MASK);
    const auto bytes = SetupBytes(*setup);
    Write(irpId, USBD_STATUS_SUCCESS, urbFunction, false, endpoint, type, PcapControlStage::Setup, bytes,
          IsIn(endpoint) ? std::span<const uint8_t>{} : data);
    return;
  }
  const bool carriesData = type != PcapTransfer::IrpInfo && !IsIn(endpoint);
  Write(irpId, USBD_STATUS_SUCCESS, urbFunction, false, endpoint, type, std::nullopt, {},
        carriesData ? data : std::span<const uint8_t>{});
}

void Capture::RecordComplete(uint64_t irpId, USBD_STATUS status, USHORT urbFunction, UCHAR endpoint,
                             PcapTransfer type, std::span<const uint8_t> data) {
  const bool carriesData = type != PcapTransfer::IrpInfo && IsIn(endpoint);
  const auto stage = type == PcapTransfer::Control ? std::optional(PcapControlStage::Complete) : std::nullopt;
  Write(irpId, status, urbFunction, true, endpoint, type, stage, {}, carriesData ? data : std::span<const uint8_t>{});
}

void Capture::RecordUrbSubmit(uint64_t irpId, const URB* urb, UCHAR endpoint, PcapTransfer pipeType) {
  RecordUrb(irpId, urb, endpoint, pipeType, false);
}

void Capture::RecordUrbComplete(uint64_t irpId, const URB* urb, UCHAR endpoint, PcapTransfer pipeType) {
  RecordUrb(irpId, urb, endpoint, pipeType, true);
}

void Capture::RecordUrb(uint64_t irpId, const URB* urb, UCHAR endpoint, PcapTransfer pipeType, bool completion) {
  if (!urb) return;
  const UrbView view = ViewOf(urb, endpoint, pipeType);
  if (completion)
    RecordComplete(irpId, urb->UrbHeader.Status, urb->UrbHeader.Function, view.endpoint, view.type, view.data);
  else
    RecordSubmit(irpId, urb->UrbHeader.Function, view.endpoint, view.type, view.setup, view.data);
}

void Capture::Write(uint64_t irpId, USBD_STATUS status, USHORT urbFunction, bool completion, UCHAR endpoint,
                    PcapTransfer type, std::optional<PcapControlStage> stage, std::span<const uint8_t> prefix,
                    std::span<const uint8_t> data) {
  const uint16_t headerLength = stage ? kControlHeaderLength : kHeaderLength;
  const uint64_t dataLength = prefix.size() + data.size();
  const uint64_t originalLength = headerLength + dataLength;
  // A record longer than the snap length keeps its true lengths and loses its tail.
  const uint64_t includedLength = originalLength < kSnapLength ? originalLength : kSnapLength;

  const int64_t now = Machine::Exists() ? Machine::Current().Now() : 0;
  const uint64_t seconds = kCaptureEpochSeconds + now / kSecond;
  const uint64_t nanoseconds = static_cast<uint64_t>(now % kSecond) * 100;

  std::vector<uint8_t> record;
  record.reserve(16 + headerLength + dataLength);
  Put32(record, static_cast<uint32_t>(seconds));
  Put32(record, static_cast<uint32_t>(nanoseconds));
  Put32(record, static_cast<uint32_t>(includedLength));
  Put32(record, static_cast<uint32_t>(originalLength));

  std::lock_guard lock(mutex_);
  if (failed_) return;
  Put16(record, headerLength);
  Put64(record, irpId);
  Put32(record, static_cast<uint32_t>(status));
  Put16(record, urbFunction);
  record.push_back(completion ? kInfoPdoToFdo : 0);
  Put16(record, bus_);
  Put16(record, device_);
  record.push_back(endpoint);
  record.push_back(static_cast<uint8_t>(type));
  Put32(record, static_cast<uint32_t>(dataLength));
  if (stage) record.push_back(static_cast<uint8_t>(*stage));
  record.insert(record.end(), prefix.begin(), prefix.end());
  record.insert(record.end(), data.begin(), data.end());
  record.resize(16 + includedLength);

  if (std::fwrite(record.data(), 1, record.size(), file_) != record.size()) {
    failed_ = true;
    return;
  }
  ++records_;
}

void Capture::Flush() {
  std::lock_guard lock(mutex_);
  if (std::fflush(file_) != 0) failed_ = true;
}

uint64_t Capture::RecordCount() const {
  std::lock_guard lock(mutex_);
  return records_;
}

bool Capture::Failed() const {
  std::lock_guard lock(mutex_);
  return failed_;
}

}  // namespace sim::usb
