// What the USB hub driver answers for a device's PDO: its IDs made from the device
// descriptor ("USB\Vid_xxxx&Pid_yyyy", lowercase hex as Windows writes them), the serial
// number as instance ID (else the port number, the PnP manager then prefixing it), the
// product string as description, and the capabilities of a removable USB device.
#include <cstdio>
#include <string>

#include "io_internal.h"
#include "simkernel/pool.h"
#include "usb_bus_internal.h"

namespace sim::usb::bus {
namespace {

constexpr uint8_t kDeviceDescriptor = 1;
constexpr uint8_t kConfigurationDescriptor = 2;
constexpr uint8_t kStringDescriptor = 3;
constexpr uint8_t kInterfaceDescriptor = 4;
constexpr uint16_t kEnglishUs = 0x0409;

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b, c);
  return Wide(text);
}

std::u16string StringOf(UsbDevice& device, uint8_t index) {
  if (!index) return u"";
  const std::vector<uint8_t> bytes = device.GetDescriptor(kStringDescriptor, index, kEnglishUs);
  if (bytes.size() < 2 || bytes[1] != kStringDescriptor) return u"";
  const size_t length = std::min<size_t>(bytes[0], bytes.size());
  std::u16string text;
  for (size_t i = 2; i + 1 < length; i += 2) text.push_back(char16_t(bytes[i] | bytes[i + 1] << 8));
  return text;
}

// A pool copy of the strings, each with its NUL, the MULTI_SZ ones with the final empty one.
PWCHAR PoolStrings(const std::vector<std::u16string>& strings, bool multi) {
  size_t chars = multi ? 1 : 0;
  for (const auto& s : strings) chars += s.size() + 1;
  auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), pool::TagFromString("UHUB")));
  if (!buffer) return nullptr;
  size_t at = 0;
  for (const auto& s : strings) {
    for (char16_t c : s) buffer[at++] = c;
    buffer[at++] = 0;
  }
  if (multi) buffer[at] = 0;
  return buffer;
}

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  if (NT_SUCCESS(status)) irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

std::optional<Identity> Identify(const Slot& slot) {
  if (!slot.present) return std::nullopt;
  return slot.identity;
}

}  // namespace

std::optional<Identity> EnumerateDevice(UsbDevice& device) {
  const std::vector<uint8_t> d = device.GetDescriptor(kDeviceDescriptor, 0, 0);
  if (d.size() < 18 || d[1] != kDeviceDescriptor) return std::nullopt;
  Identity id;
  id.deviceClass = d[4];
  id.subClass = d[5];
  id.protocol = d[6];
  id.vendor = uint16_t(d[8] | d[9] << 8);
  id.product = uint16_t(d[10] | d[11] << 8);
  id.revision = uint16_t(d[12] | d[13] << 8);
  if (id.deviceClass == 0) {
    // Class defined per interface: a single-function device takes its first interface's.
    const std::vector<uint8_t> c = device.GetDescriptor(kConfigurationDescriptor, 0, 0);
    for (size_t at = 0; at + 8 < c.size() && c[at] >= 2; at += c[at])
      if (c[at + 1] == kInterfaceDescriptor) {
        id.deviceClass = c[at + 5];
        id.subClass = c[at + 6];
        id.protocol = c[at + 7];
        break;
      }
  }
  id.serial = StringOf(device, d[16]);
  // A serial number that cannot be part of an instance ID is not used (the device is then not unique).
  for (char16_t ch : id.serial)
    if (ch <= u' ' || ch > 0x7F || ch == u',' || ch == u'\\') id.serial.clear();
  id.productString = d[15];
  return id;
}

NTSTATUS DispatchPdoPnp(const std::shared_ptr<Slot>& slot, PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const NTSTATUS arrived = irp->IoStatus.Status;
  switch (sp->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      auto id = Identify(*slot);
      if (!id) return Finish(irp, arrived, 0);
      const std::u16string base = Format("USB\\Vid_%04x&Pid_%04x", id->vendor, id->product);
      std::vector<std::u16string> strings;
      bool multi = true;
      switch (sp->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: strings = {base}; multi = false; break;
        case BusQueryHardwareIDs: strings = {base + Format("&Rev_%04x", id->revision), base}; break;
        case BusQueryCompatibleIDs:
          strings = {Format("USB\\Class_%02x&SubClass_%02x&Prot_%02x", id->deviceClass, id->subClass, id->protocol),
                     Format("USB\\Class_%02x&SubClass_%02x", id->deviceClass, id->subClass),
                     Format("USB\\Class_%02x", id->deviceClass)};
          break;
        case BusQueryInstanceID:
          strings = {id->serial.empty() ? Format("%u", unsigned(slot->port->Number())) : id->serial};
          multi = false;
          break;
        default: return Finish(irp, arrived, 0);
      }
      PWCHAR answer = PoolStrings(strings, multi);
      return Finish(irp, answer ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, reinterpret_cast<ULONG_PTR>(answer));
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
      auto id = Identify(*slot);
      const bool description = id && sp->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription;
      const std::u16string productName = description ? StringOf(*slot->device, id->productString) : u"";
      if (productName.empty()) return Finish(irp, arrived, irp->IoStatus.Information);
      PWCHAR answer = PoolStrings({productName}, false);
      return Finish(irp, answer ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES, reinterpret_cast<ULONG_PTR>(answer));
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
      auto id = Identify(*slot);
      const NTSTATUS status = io::DefaultBusDispatch(pdo, irp);
      // Completed above; the structure is the manager's (or the driver's), still valid here.
      if (caps && NT_SUCCESS(status)) {
        caps->Removable = 1;
        caps->UniqueID = id && !id->serial.empty();
        caps->SurpriseRemovalOK = 0;  // the Windows 2000 hub clears it: drivers set it themselves
        caps->Address = caps->UINumber = ULONG(slot->port->Number());
      }
      return status;
    }
    default:
      return io::DefaultBusDispatch(pdo, irp);
  }
}

}  // namespace sim::usb::bus
