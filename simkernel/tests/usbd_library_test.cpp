// The usbd.sys library routines on well-formed and hostile descriptor sets. Descriptor sets
// live in exactly sized heap blocks, so a read past the end is caught by the sanitizer build.
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <vector>

#include "machine_fixture.h"
#include "simkernel/pool.h"
#include "simkernel/usb.h"

namespace {

// A descriptor set under construction; Seal() copies it into an exactly sized block.
class Descriptors {
 public:
  Descriptors& Config(UCHAR numInterfaces = 1) {
    return Raw({9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, numInterfaces, 1, 0, 0x80, 50});
  }
  Descriptors& Interface(UCHAR number, UCHAR alternate, UCHAR endpoints, UCHAR cls = 0xFF, UCHAR sub = 0,
                         UCHAR protocol = 0) {
    return Raw({9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, sub, protocol, 0});
  }
  Descriptors& Endpoint(UCHAR address, UCHAR attributes = USB_ENDPOINT_TYPE_BULK) {
    return Raw({7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, 64, 0, 0});
  }
  Descriptors& Raw(std::initializer_list<UCHAR> bytes) {
    bytes_.insert(bytes_.end(), bytes);
    return *this;
  }
  size_t Size() const { return bytes_.size(); }

  struct Sealed {
    std::unique_ptr<UCHAR[]> block;
    size_t size;
    PUSB_CONFIGURATION_DESCRIPTOR config() const {
      return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block.get());
    }
    PUCHAR at(size_t offset) const { return block.get() + offset; }
    PUCHAR end() const { return block.get() + size; }
  };
  // wTotalLength is the set's size unless given.
  Sealed Seal(std::optional<USHORT> totalLength = std::nullopt) const {
    Sealed s{std::make_unique<UCHAR[]>(bytes_.size()), bytes_.size()};
    std::memcpy(s.block.get(), bytes_.data(), bytes_.size());
    if (bytes_.size() >= 4) {
      const USHORT total = totalLength.value_or(static_cast<USHORT>(bytes_.size()));
      s.block[2] = static_cast<UCHAR>(total);
      s.block[3] = static_cast<UCHAR>(total >> 8);
    }
    return s;
  }

 private:
  std::vector<UCHAR> bytes_;
};

// The main firmware's layout: one interface, ten bulk endpoints in data-pair order.
Descriptors MainFirmware() {
  Descriptors d;
  d.Config().Interface(0, 0, 10);
  for (UCHAR port = 1; port <= 4; ++port) d.Endpoint(0x80 | port).Endpoint(port);
  d.Endpoint(0x87).Endpoint(0x07);
  return d;
}

const ULONG kUsbdTag = sim::pool::TagFromString("USBD");

using UsbdParse = MachineTest;
using UsbdConfigurationRequest = MachineTest;

TEST_F(UsbdParse, DescriptorsAreFoundByTypeFromTheStartPosition) {
  auto set = Descriptors().Config().Interface(0, 0, 2).Endpoint(0x81).Endpoint(0x01).Seal();
  PVOID buffer = set.block.get();
  const ULONG total = static_cast<ULONG>(set.size);

  EXPECT_EQ(USBD_ParseDescriptors(buffer, total, buffer, USB_CONFIGURATION_DESCRIPTOR_TYPE), buffer);
  auto* first = USBD_ParseDescriptors(buffer, total, buffer, USB_ENDPOINT_DESCRIPTOR_TYPE);
  EXPECT_EQ(reinterpret_cast<PUCHAR>(first), set.at(18));
  // The descriptor at the start position is a candidate itself; callers step past a match.
  EXPECT_EQ(USBD_ParseDescriptors(buffer, total, first, USB_ENDPOINT_DESCRIPTOR_TYPE), first);
  auto* second = USBD_ParseDescriptors(buffer, total, set.at(18 + first->bLength), USB_ENDPOINT_DESCRIPTOR_TYPE);
  EXPECT_EQ(reinterpret_cast<PUCHAR>(second), set.at(25));
  EXPECT_EQ(USBD_ParseDescriptors(buffer, total, set.at(25) + 7, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(buffer, total, buffer, USB_STRING_DESCRIPTOR_TYPE), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(buffer, total, buffer, -1), nullptr) << "no wildcard for the type";
  // The total length given, not the buffer, bounds the search.
  EXPECT_EQ(USBD_ParseDescriptors(buffer, 25, buffer, USB_ENDPOINT_DESCRIPTOR_TYPE), first);
  EXPECT_EQ(USBD_ParseDescriptors(buffer, 24, buffer, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr)
      << "an endpoint cut by the total length is not returned";
}

TEST_F(UsbdParse, MalformedDescriptorSetsEndTheWalkWithoutReadingPastTheEnd) {
  {  // zero bLength would never advance
    auto set = Descriptors().Config().Raw({0, 0x24, 1, 2}).Endpoint(0x81).Seal();
    EXPECT_EQ(USBD_ParseDescriptors(set.block.get(), set.size, set.block.get(), USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
  }
  {  // bLength 1 cannot hold its own header
    auto set = Descriptors().Config().Raw({1}).Endpoint(0x81).Seal();
    EXPECT_EQ(USBD_ParseDescriptors(set.block.get(), set.size, set.block.get(), USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
  }
  {  // the last descriptor claims more bytes than remain
    auto set = Descriptors().Config().Raw({200, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81}).Seal();
    EXPECT_EQ(USBD_ParseDescriptors(set.block.get(), set.size, set.block.get(), USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
  }
  {  // a lone header byte at the very end
    auto set = Descriptors().Config().Raw({7}).Seal();
    EXPECT_EQ(USBD_ParseDescriptors(set.block.get(), set.size, set.block.get(), USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
  }
  auto set = Descriptors().Config().Interface(0, 0, 0).Seal();
  PVOID buffer = set.block.get();
  EXPECT_EQ(USBD_ParseDescriptors(buffer, 0, buffer, USB_CONFIGURATION_DESCRIPTOR_TYPE), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(buffer, 1, buffer, USB_CONFIGURATION_DESCRIPTOR_TYPE), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(buffer, set.size, set.end(), USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(set.at(9), set.size - 9, buffer, USB_CONFIGURATION_DESCRIPTOR_TYPE), nullptr)
      << "a start before the buffer is refused";
  EXPECT_EQ(USBD_ParseDescriptors(nullptr, set.size, buffer, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(buffer, set.size, nullptr, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
}

TEST_F(UsbdParse, InterfacesMatchEveryGivenCriterionAndWildcards) {
  auto set = Descriptors()
                 .Config(2)
                 .Interface(0, 0, 1, 0x02, 0x02, 0x01)
                 .Endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT)
                 .Interface(0, 1, 0, 0x02, 0x02, 0x01)
                 .Interface(1, 0, 2, 0x0A, 0x00, 0x00)
                 .Endpoint(0x81)
                 .Endpoint(0x02)
                 .Seal();
  auto* config = set.config();
  auto at = [&](size_t offset) { return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.at(offset)); };
  const auto* if00 = at(9);
  const auto* if01 = at(25);
  const auto* if10 = at(34);

  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1), if00);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 1, -1, -1, -1), if01);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1), if10);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x0A, -1, -1), if10);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0x02, 0x02, 0x01), if00);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, 0, -1, -1, 0x00), if10);
  // Continuing the search past a match, as drivers walk every interface.
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, set.at(9 + 9), -1, -1, -1, -1, -1), if01);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, set.at(34 + 9), -1, -1, -1, -1, -1), nullptr);

  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 2, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, 1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0xFF, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0x100, -1, -1, -1, -1), nullptr)
      << "a criterion outside a byte's range matches nothing";

  EXPECT_EQ(USBD_ParseConfigurationDescriptor(config, 0, 1), if01);
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(config, 1, 0), if10);
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(config, 1, 1), nullptr);
}

TEST_F(UsbdParse, InterfaceSearchStaysInsideTheDeclaredTotalLength) {
  // A header shorter than itself: nothing can be parsed, though an interface follows in memory.
  for (USHORT total : {0, 1, 8}) {
    auto set = MainFirmware().Seal(total);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(set.config(), set.config(), -1, -1, -1, -1, -1), nullptr)
        << "wTotalLength " << total;
  }
  {  // wTotalLength ends inside the interface descriptor
    auto set = MainFirmware().Seal(14);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(set.config(), set.config(), -1, -1, -1, -1, -1), nullptr);
  }
  {  // a configuration of the header alone
    auto set = Descriptors().Config(0).Seal();
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(set.config(), set.config(), -1, -1, -1, -1, -1), nullptr);
    USHORT size = 0xBEEF;
    EXPECT_EQ(USBD_CreateConfigurationRequest(set.config(), &size), nullptr);
    EXPECT_EQ(size, 0);
  }
  {  // the configuration header's own bLength is zero
    auto set = MainFirmware().Seal();
    set.block[0] = 0;
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(set.config(), set.config(), -1, -1, -1, -1, -1), nullptr);
  }
  {  // a truncated interface descriptor is passed over; the next whole one is found
    auto set = Descriptors().Config().Raw({5, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0}).Interface(1, 0, 0).Seal();
    auto* found = USBD_ParseConfigurationDescriptorEx(set.config(), set.config(), -1, -1, -1, -1, -1);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(found), set.at(14));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(set.config(), set.config(), 0, -1, -1, -1, -1), nullptr);
  }
  {  // an endpoint with zero bLength before the interface we look for
    auto set = Descriptors().Config().Interface(0, 0, 1).Raw({0, 5, 0x81, 2, 64, 0, 0}).Interface(1, 0, 0).Seal();
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(set.config(), set.config(), 1, -1, -1, -1, -1), nullptr);
  }
  {  // a start position outside the configuration
    auto set = MainFirmware().Seal();
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(set.config(), set.end(), -1, -1, -1, -1, -1), nullptr);
  }
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbdParse, InterfaceLengthCoversItsEndpointsAndClassDescriptorsUpToTheNextInterface) {
  auto set = Descriptors()
                 .Config(2)
                 .Interface(0, 0, 2)
                 .Raw({5, 0x24, 0, 0x10, 0x01})  // class-specific
                 .Endpoint(0x81)
                 .Endpoint(0x01)
                 .Interface(1, 0, 1)
                 .Endpoint(0x82)
                 .Seal();
  auto* if0 = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.at(9));
  auto* if1 = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.at(37));
  EXPECT_EQ(USBD_GetInterfaceLength(if0, set.end()), 9u + 5 + 7 + 7);
  EXPECT_EQ(USBD_GetInterfaceLength(if1, set.end()), 9u + 7);
  EXPECT_EQ(USBD_GetInterfaceLength(if1, set.end() - 1), 9u) << "an endpoint cut by the end is not counted";
  EXPECT_EQ(USBD_GetInterfaceLength(if1, set.at(37 + 8)), 0u);
  EXPECT_EQ(USBD_GetInterfaceLength(if1, set.at(9)), 0u) << "an end before the interface";
  EXPECT_EQ(USBD_GetInterfaceLength(nullptr, set.end()), 0u);

  set.block[9 + 9] = 0;  // the class-specific descriptor's bLength
  EXPECT_EQ(USBD_GetInterfaceLength(if0, set.end()), 9u);
}

TEST_F(UsbdConfigurationRequest, MainFirmwareRequestCoversTheFirstInterfaceWithEveryPipe) {
  auto set = MainFirmware().Seal();
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(set.config(), &size);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 10));
  EXPECT_EQ(urb->UrbHeader.Length, size);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, set.config());
  auto& iface = urb->UrbSelectConfiguration.Interface;
  EXPECT_EQ(iface.Length, GET_USBD_INTERFACE_SIZE(10));
  EXPECT_EQ(iface.NumberOfPipes, 10u);
  EXPECT_EQ(iface.InterfaceNumber, 0);
  EXPECT_EQ(iface.AlternateSetting, 0);
  for (ULONG i = 0; i < iface.NumberOfPipes; ++i) {
    EXPECT_EQ(iface.Pipes[i].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE) << "pipe " << i;
    EXPECT_EQ(iface.Pipes[i].PipeFlags, 0u) << "pipe " << i;
  }
  // The last pipe entry ends exactly where the URB's declared length does.
  EXPECT_EQ(reinterpret_cast<PUCHAR>(&iface.Pipes[10]), reinterpret_cast<PUCHAR>(urb) + size);

  auto blocks = sim::pool::Outstanding(kUsbdTag);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].address, urb);
  EXPECT_EQ(blocks[0].type, NonPagedPool);
  EXPECT_GE(blocks[0].size, size);
  ExFreePool(urb);
  EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
}

TEST_F(UsbdConfigurationRequest, ExRequestLaysOutEachListedInterfaceAndPointsTheListAtIt) {
  auto set = Descriptors()
                 .Config(3)
                 .Interface(0, 0, 3)
                 .Endpoint(0x81)
                 .Endpoint(0x01)
                 .Endpoint(0x82, USB_ENDPOINT_TYPE_INTERRUPT)
                 .Interface(0, 1, 0)
                 .Interface(2, 4, 2)
                 .Endpoint(0x83)
                 .Endpoint(0x03)
                 .Seal();
  USBD_INTERFACE_LIST_ENTRY list[3] = {};
  list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(set.config(), set.config(), 2, -1, -1, -1, -1);
  list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(set.config(), set.config(), 0, 1, -1, -1, -1);
  ASSERT_NE(list[0].InterfaceDescriptor, nullptr);
  ASSERT_NE(list[1].InterfaceDescriptor, nullptr);

  PURB urb = USBD_CreateConfigurationRequestEx(set.config(), list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 2));
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(list[2].Interface, nullptr) << "the terminator is left alone";

  auto* first = list[0].Interface;
  ASSERT_EQ(first, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(first->Length, GET_USBD_INTERFACE_SIZE(2));
  EXPECT_EQ(first->InterfaceNumber, 2);
  EXPECT_EQ(first->AlternateSetting, 4);
  EXPECT_EQ(first->NumberOfPipes, 2u);
  EXPECT_EQ(first->Pipes[1].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);

  auto* second = list[1].Interface;
  EXPECT_EQ(reinterpret_cast<PUCHAR>(second), reinterpret_cast<PUCHAR>(first) + first->Length);
  EXPECT_EQ(second->Length, GET_USBD_INTERFACE_SIZE(0));
  EXPECT_EQ(second->InterfaceNumber, 0);
  EXPECT_EQ(second->AlternateSetting, 1);
  EXPECT_EQ(second->NumberOfPipes, 0u);
  EXPECT_EQ(reinterpret_cast<PUCHAR>(second) + second->Length, reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length);
  ExFreePool(urb);
}

TEST_F(UsbdConfigurationRequest, UnusableListsAndFailedAllocationsGiveNoUrbAndLeakNothing) {
  auto set = Descriptors().Config(2).Interface(0, 0, 1).Endpoint(0x81).Interface(1, 0, 255).Seal();
  auto* if0 = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.at(9));
  auto* if1 = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.at(25));
  auto create = [&](std::vector<PUSB_INTERFACE_DESCRIPTOR> descriptors, PUSB_CONFIGURATION_DESCRIPTOR config) {
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(descriptors.size() + 1);
    for (size_t i = 0; i < descriptors.size(); ++i) list[i].InterfaceDescriptor = descriptors[i];
    PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
    if (urb) ExFreePool(urb);
    return urb != nullptr;
  };

  EXPECT_TRUE(create({if0, if1}, set.config()));
  EXPECT_FALSE(create({}, set.config())) << "an empty list selects nothing";
  EXPECT_FALSE(create({reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.at(18))}, set.config()))
      << "an endpoint descriptor is no interface";
  auto other = MainFirmware().Seal();
  EXPECT_FALSE(create({reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(other.at(9))}, set.config()))
      << "an interface of another configuration";
  auto shortened = Descriptors().Config(2).Interface(0, 0, 1).Endpoint(0x81).Interface(1, 0, 255).Seal(30);
  EXPECT_FALSE(create({reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(shortened.at(25))}, shortened.config()))
      << "an interface cut by wTotalLength";
  EXPECT_FALSE(create({if0}, nullptr));
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(set.config(), nullptr), nullptr);

  // Eleven interfaces of 255 pipes cannot be described by a 16-bit URB length.
  EXPECT_TRUE(create(std::vector(2, if1), set.config()));
  EXPECT_FALSE(create(std::vector(11, if1), set.config()));

  sim::pool::FailNextAllocations(1, kUsbdTag);
  EXPECT_FALSE(create({if0}, set.config()));
  sim::pool::FailNextAllocations(1, kUsbdTag);
  USHORT size = 0xBEEF;
  EXPECT_EQ(USBD_CreateConfigurationRequest(set.config(), &size), nullptr);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
}

// The request macros fill the union members the bus driver reads, with the DDK's sizes.
TEST_F(UsbdConfigurationRequest, RequestMacrosFillTheFieldsTheBusDriverReads) {
  EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1), sizeof(struct _URB_SELECT_CONFIGURATION));
  EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 10),
            offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + GET_USBD_INTERFACE_SIZE(10));
  EXPECT_EQ(GET_USBD_INTERFACE_SIZE(1), sizeof(USBD_INTERFACE_INFORMATION));
  EXPECT_EQ(GET_SELECT_INTERFACE_REQUEST_SIZE(3),
            offsetof(struct _URB_SELECT_INTERFACE, Interface) + GET_USBD_INTERFACE_SIZE(3));

  URB urb;
  std::memset(&urb, 0xCC, sizeof(urb));
  UCHAR buffer[521];
  UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, buffer, nullptr, 255, nullptr);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(urb.UrbHeader.Length, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  EXPECT_EQ(urb.UrbControlDescriptorRequest.DescriptorType, USB_STRING_DESCRIPTOR_TYPE);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.Index, 3);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.LanguageId, 0x0409);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBuffer, buffer);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 255u);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferMDL, nullptr);

  UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), buffer + 1,
                                         buffer, nullptr, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                         nullptr);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  EXPECT_EQ(urb.UrbHeader.Length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.PipeHandle, buffer + 1);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferFlags, ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.UrbLink, nullptr);

  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_OUT, 0, 0xA0, 0xE600, 0, buffer, nullptr, 1, nullptr);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_VENDOR_DEVICE);
  EXPECT_EQ(urb.UrbHeader.Length, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  EXPECT_EQ(urb.UrbControlVendorClassRequest.Request, 0xA0);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.Value, 0xE600);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.Index, 0);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.RequestTypeReservedBits, 0);
  EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferFlags, ULONG(USBD_TRANSFER_DIRECTION_OUT));
  EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 1u);

  // Unconfigure: a select-configuration URB without a descriptor.
  UsbBuildSelectConfigurationRequest(&urb, (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb.UrbHeader.Length, sizeof(struct _URB_SELECT_CONFIGURATION));
  EXPECT_EQ(urb.UrbSelectConfiguration.ConfigurationDescriptor, nullptr);
}

}  // namespace
