// URBs the bus refuses: each fails inside IoCallDriver with the status the bus driver gives
// it, its completion routine runs before the call returns, and the device never hears of it.
#include <optional>
#include <tuple>

#include "usb_bus_test_support.h"

namespace usbtest {
namespace {

class UsbBusRefusal : public UsbBusTest {
 protected:
  void SetUp() override {
    UsbBusTest::SetUp();
    info = Configure(4096);
    baseline = Snapshot();
  }

  // Sends the URB and checks that it was refused on the spot with these statuses.
  void ExpectRefused(Submission& s, NTSTATUS status, std::optional<USBD_STATUS> usbd) {
    const uint64_t refusedBefore = sim::usb::Statistics().urbsRefused;
    Submit(s);
    EXPECT_TRUE(s.completed);
    EXPECT_TRUE(s.completedInsideCall);
    EXPECT_EQ(s.returned, status);
    EXPECT_EQ(s.status, status);
    if (usbd) {
      EXPECT_EQ(URB_STATUS(s.Urb()), *usbd);
    }
    EXPECT_EQ(sim::usb::Statistics().urbsRefused, refusedBefore + 1);
    machine().RunUntilIdle();
    EXPECT_EQ(Snapshot(), baseline) << "the device saw a refused URB";
  }

  // Everything the device has been asked, as one comparable value.
  std::tuple<size_t, size_t, size_t, size_t, size_t> Snapshot() {
    size_t out = 0, asks = 0;
    for (auto& [ep, packets] : device->outPackets) out += packets.size();
    for (auto& [ep, list] : device->inAsks) asks += list.size();
    return {device->descriptorReads.size(), device->setups.size(), device->setConfigurations.size(), out, asks};
  }

  PUSBD_INTERFACE_INFORMATION info = nullptr;
  std::tuple<size_t, size_t, size_t, size_t, size_t> baseline;
};

TEST_F(UsbBusRefusal, MissingUrbAndWrongHeaderLength) {
  Submission none;
  none.noUrb = true;
  ExpectRefused(none, STATUS_INVALID_PARAMETER, std::nullopt);

  Submission tooShort;
  Bulk(tooShort, info->Pipes[1].PipeHandle, 8, 0);
  tooShort.Urb()->UrbHeader.Length -= 1;
  ExpectRefused(tooShort, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

  Submission tooLong;
  Descriptor(tooLong, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  tooLong.Urb()->UrbHeader.Length = sizeof(URB);
  ExpectRefused(tooLong, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

  Submission reset;
  PipeRequest(reset, URB_FUNCTION_RESET_PIPE, info->Pipes[0].PipeHandle);
  reset.Urb()->UrbHeader.Length = 24;  // the size on another machine, not this one's
  ExpectRefused(reset, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

  Submission select;
  select.Urb()->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  select.Urb()->UrbHeader.Length = sizeof(struct _URB_HEADER);
  ExpectRefused(select, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(UsbBusRefusal, FunctionsOutsideTheSetAndFunctionsTheBusDoesNotServe) {
  for (USHORT function : {USHORT(URB_FUNCTION_RESERVED0), USHORT(URB_FUNCTION_RESERVED), USHORT(0x002A), USHORT(0xFFFF)}) {
    Submission s;
    s.Urb()->UrbHeader.Function = function;
    s.Urb()->UrbHeader.Length = sizeof(URB);
    SCOPED_TRACE(function);
    ExpectRefused(s, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
  }
  Submission isochronous;
  isochronous.Urb()->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  isochronous.Urb()->UrbHeader.Length = sizeof(struct _URB_ISOCH_TRANSFER);
  ExpectRefused(isochronous, STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED);
}

TEST_F(UsbBusRefusal, PipeHandlesThatAreNotThisDevicesOpenPipes) {
  Submission made;
  Bulk(made, reinterpret_cast<PVOID>(uintptr_t(0x1234)), 8, 0);
  ExpectRefused(made, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  Submission null;
  Bulk(null, nullptr, 8, 0);
  ExpectRefused(null, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);

  // A second device on the bus: its pipes are foreign to the first.
  Device other;
  sim::usb::BusPort* otherPort = nullptr;
  PDEVICE_OBJECT otherPdo = sim::usb::Plug(other, &otherPort);
  AddFunctionDevice(otherPdo);
  auto* otherInfo = Configure(4096, otherPdo);
  baseline = Snapshot();
  Submission foreign;
  Bulk(foreign, otherInfo->Pipes[1].PipeHandle, 8, 0);
  ExpectRefused(foreign, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  Submission reset;
  PipeRequest(reset, URB_FUNCTION_RESET_PIPE, otherInfo->Pipes[0].PipeHandle);
  ExpectRefused(reset, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  Submission abort;
  PipeRequest(abort, URB_FUNCTION_ABORT_PIPE, otherInfo->Pipes[0].PipeHandle);
  ExpectRefused(abort, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  EXPECT_TRUE(other.outPackets.empty());
  otherPort->Detach();
}

TEST_F(UsbBusRefusal, BuffersThatCannotHoldTheTransfer) {
  Submission bulkNull;
  Bulk(bulkNull, info->Pipes[1].PipeHandle, 10, 0);
  bulkNull.Urb()->UrbBulkOrInterruptTransfer.TransferBuffer = nullptr;
  ExpectRefused(bulkNull, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

  Submission descriptorNull;
  Descriptor(descriptorNull, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  descriptorNull.Urb()->UrbControlDescriptorRequest.TransferBuffer = nullptr;
  ExpectRefused(descriptorNull, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

  Submission descriptorTiny;
  Descriptor(descriptorTiny, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 1);
  ExpectRefused(descriptorTiny, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

  Submission vendorNull;
  Vendor(vendorNull, true, kVendorRead, 0, 0, 4);
  vendorNull.Urb()->UrbControlVendorClassRequest.TransferBuffer = nullptr;
  ExpectRefused(vendorNull, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

  Submission oversized;
  Bulk(oversized, info->Pipes[1].PipeHandle, 4097, 0);  // above the pipe's maximum transfer size
  ExpectRefused(oversized, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

  Submission shortMdl;
  std::vector<uint8_t> bytes(32);
  PMDL mdl = nullptr;
  machine().RunTask("setup", [&] {
    mdl = IoAllocateMdl(bytes.data(), 16, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
  });
  UsbBuildInterruptOrBulkTransferRequest(shortMdl.Urb(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         info->Pipes[1].PipeHandle, nullptr, mdl, 32, 0, nullptr);
  ExpectRefused(shortMdl, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  machine().RunTask("cleanup", [&] { IoFreeMdl(mdl); });
}

TEST_F(UsbBusRefusal, ConfigurationDescriptorWithoutAConfigurationHeader) {
  std::vector<uint8_t> junk{0, 0, 0, 0, 0, 0, 0, 0, 0};
  Submission select(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 4));
  UsbBuildSelectConfigurationRequest(select.Urb(), USHORT(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 4)),
                                     reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(junk.data()));
  ExpectRefused(select, STATUS_INVALID_PARAMETER, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
}

TEST_F(UsbBusRefusal, NothingIsLeftBehindAfterRefusals) {
  Submission bad;
  bad.Urb()->UrbHeader.Function = 0x0050;
  ExpectRefused(bad, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
  EXPECT_EQ(sim::io::InFlightIrpCount(), 0u);
  // The bus still works for good URBs.
  Submission good;
  good.buffer = {1, 2, 3};
  Bulk(good, info->Pipes[1].PipeHandle, 3, 0);
  EXPECT_EQ(Run(good), STATUS_SUCCESS);
  EXPECT_EQ(device->Received(0x01), good.buffer);
}

}  // namespace
}  // namespace usbtest
