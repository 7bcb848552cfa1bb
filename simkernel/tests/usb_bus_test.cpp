// The simulated USB bus seen from a function driver: endpoint 0 requests, configuration
// selection and its pipes, plug and play of the PDO, and the capture of the traffic.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "usb_bus_test_support.h"

namespace usbtest {
namespace {

class UsbBusControl : public UsbBusTest {};

TEST_F(UsbBusControl, PluggedDeviceGetsABusPdoAndTheFunctionDeviceSitsOnIt) {
  ASSERT_NE(pdo, nullptr);
  EXPECT_EQ(pdo->DriverObject, sim::io::BusDriver());
  EXPECT_EQ(sim::io::DeviceName(pdo), u"\\Device\\USBPDO-1");
  EXPECT_EQ(sim::usb::PortOfPdo(pdo), port);
  EXPECT_TRUE(port->Attached());
  EXPECT_EQ(port->Pdo(), pdo);
  EXPECT_EQ(port->Address(), 1);
  EXPECT_EQ(sim::io::LowerDevice(fdo), pdo);
}

TEST_F(UsbBusControl, DescriptorsAreReadInTheNextFrameWithTheLengthWrittenBack) {
  Submission dev;
  Descriptor(dev, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  Submit(dev);
  EXPECT_EQ(dev.returned, STATUS_PENDING);
  EXPECT_EQ(URB_STATUS(dev.Urb()), USBD_STATUS_PENDING);
  ASSERT_TRUE(Finish(dev));
  EXPECT_EQ(dev.status, STATUS_SUCCESS);
  EXPECT_EQ(dev.when, 1 * sim::kMillisecond);  // a control transfer takes a frame
  EXPECT_EQ(URB_STATUS(dev.Urb()), USBD_STATUS_SUCCESS);
  EXPECT_EQ(dev.Urb()->UrbControlDescriptorRequest.TransferBufferLength, 18u);
  EXPECT_EQ(dev.buffer, device->deviceDescriptor);

  // Shorter than the descriptor: only what fits; longer: only what there is.
  Submission head;
  Descriptor(head, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9);
  EXPECT_EQ(Run(head), STATUS_SUCCESS);
  EXPECT_EQ(head.Urb()->UrbControlDescriptorRequest.TransferBufferLength, 9u);
  Submission whole;
  Descriptor(whole, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 521);
  EXPECT_EQ(Run(whole), STATUS_SUCCESS);
  ASSERT_EQ(whole.Urb()->UrbControlDescriptorRequest.TransferBufferLength, device->configuration.size());
  EXPECT_TRUE(std::equal(device->configuration.begin(), device->configuration.end(), whole.buffer.begin()));
  EXPECT_EQ(whole.buffer[device->configuration.size()], 0xCC);

  Submission serial;
  Descriptor(serial, USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, 255);
  EXPECT_EQ(Run(serial), STATUS_SUCCESS);
  EXPECT_EQ(serial.Urb()->UrbControlDescriptorRequest.TransferBufferLength, 14u);
  EXPECT_EQ(serial.buffer[0], 14);
  EXPECT_EQ(serial.buffer[2], 'S');
  EXPECT_EQ(device->descriptorReads.back().language, 0x0409);
  EXPECT_EQ(sim::usb::Statistics().controlTransfers, 4u);
}

TEST_F(UsbBusControl, DescriptorIntoAnMdlAndADescriptorTheDeviceLacksStalls) {
  Submission viaMdl;
  void* pool = nullptr;
  PMDL mdl = nullptr;
  machine().RunTask("setup", [&] {
    pool = ExAllocatePoolWithTag(NonPagedPool, 18, sim::pool::TagFromString("Bust"));
    mdl = IoAllocateMdl(pool, 18, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
  });
  UsbBuildGetDescriptorRequest(viaMdl.Urb(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE,
                               0, 0, nullptr, mdl, 18, nullptr);
  EXPECT_EQ(Run(viaMdl), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(pool, device->deviceDescriptor.data(), 18), 0);

  Submission missing;
  Descriptor(missing, USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, 255);
  EXPECT_EQ(Run(missing), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(URB_STATUS(missing.Urb()), USBD_STATUS_STALL_PID);
  EXPECT_EQ(missing.Urb()->UrbControlDescriptorRequest.TransferBufferLength, 0u);
  machine().RunTask("cleanup", [&] {
    IoFreeMdl(mdl);
    ExFreePool(pool);
  });
}

TEST_F(UsbBusControl, SelectConfigurationFillsEveryPipeFromTheEndpointDescriptors) {
  Submission select;
  select.urbOverride = NewSelectUrb(4096);
  EXPECT_EQ(Run(select), STATUS_SUCCESS);
  EXPECT_EQ(device->setConfigurations, std::vector<uint8_t>{1});
  auto& r = select.Urb()->UrbSelectConfiguration;
  EXPECT_NE(r.ConfigurationHandle, nullptr);
  const auto& info = r.Interface;
  EXPECT_EQ(info.Class, 0xFF);
  EXPECT_EQ(info.SubClass, 0x01);
  EXPECT_EQ(info.Protocol, 0x02);
  EXPECT_NE(info.InterfaceHandle, nullptr);
  ASSERT_EQ(info.NumberOfPipes, 4u);
  const uint8_t order[] = {0x81, 0x01, 0x82, 0x02};
  std::set<PVOID> handles;
  for (ULONG i = 0; i < 4; ++i) {
    const auto& pipe = info.Pipes[i];
    EXPECT_EQ(pipe.EndpointAddress, order[i]);
    EXPECT_EQ(pipe.MaximumPacketSize, 64);
    EXPECT_EQ(pipe.Interval, (order[i] & 0x0F));
    EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(pipe.MaximumTransferSize, 4096u);
    EXPECT_EQ(pipe.PipeFlags, 0u);
    handles.insert(pipe.PipeHandle);
  }
  EXPECT_EQ(handles.size(), 4u);
  EXPECT_EQ(handles.count(nullptr), 0u);
}

TEST_F(UsbBusControl, UnconfiguringAndReselectingInvalidateTheOldPipes) {
  auto* first = Configure();
  PVOID oldIn = first->Pipes[0].PipeHandle;
  Submission pending;
  Bulk(pending, oldIn, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  Submit(pending);
  auto* second = Configure();
  ASSERT_TRUE(pending.completed);  // closing the pipe ended what was queued on it
  EXPECT_EQ(pending.status, STATUS_CANCELLED);
  EXPECT_EQ(URB_STATUS(pending.Urb()), USBD_STATUS_CANCELED);
  EXPECT_NE(second->Pipes[0].PipeHandle, oldIn);

  Submission stale;
  Bulk(stale, oldIn, 64, USBD_TRANSFER_DIRECTION_IN);
  Submit(stale);
  EXPECT_TRUE(stale.completedInsideCall);
  EXPECT_EQ(stale.returned, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(URB_STATUS(stale.Urb()), USBD_STATUS_INVALID_PIPE_HANDLE);

  Submission unconfigure;
  UsbBuildSelectConfigurationRequest(unconfigure.Urb(), sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(Run(unconfigure), STATUS_SUCCESS);
  EXPECT_EQ(unconfigure.Urb()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
  EXPECT_EQ(device->setConfigurations, (std::vector<uint8_t>{1, 1, 0}));
  Submission afterwards;
  Bulk(afterwards, second->Pipes[1].PipeHandle, 8, 0);
  Submit(afterwards);
  EXPECT_EQ(URB_STATUS(afterwards.Urb()), USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbBusControl, SelectConfigurationIsCheckedAgainstTheDevicesOwnDescriptor) {
  // A copy that differs in one endpoint.
  std::vector<uint8_t> altered = device->configuration;
  altered[9 + 7 + 2] = 0x85;
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(altered.data()), &size);
  poolUrbs.push_back(urb);
  Submission different;
  different.urbOverride = urb;
  EXPECT_EQ(Run(different), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(URB_STATUS(urb), USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

  // An interface the configuration does not have.
  Submission noInterface;
  noInterface.urbOverride = NewSelectUrb();
  noInterface.Urb()->UrbSelectConfiguration.Interface.InterfaceNumber = 3;
  EXPECT_EQ(Run(noInterface), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(URB_STATUS(noInterface.Urb()), USBD_STATUS_INTERFACE_NOT_FOUND);

  // An interface entry too short for its four pipes.
  Submission shortEntry;
  shortEntry.urbOverride = NewSelectUrb();
  shortEntry.Urb()->UrbSelectConfiguration.Interface.Length = GET_USBD_INTERFACE_SIZE(2);
  EXPECT_EQ(Run(shortEntry), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(URB_STATUS(shortEntry.Urb()), USBD_STATUS_INVALID_PARAMETER);

  // Pipe flags the bus does not know.
  Submission flags;
  flags.urbOverride = NewSelectUrb();
  flags.Urb()->UrbSelectConfiguration.Interface.Pipes[1].PipeFlags = 0x100;
  EXPECT_EQ(Run(flags), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(URB_STATUS(flags.Urb()), USBD_STATUS_INAVLID_PIPE_FLAGS);
  EXPECT_TRUE(device->setConfigurations.empty());  // none of them reached the device
}

TEST_F(UsbBusControl, VendorRequestsCarryTheirSetupAndDataBothWays) {
  Submission write;
  Vendor(write, false, kVendorWrite, 0x7F92, 0, 1);
  write.buffer[0] = 1;
  EXPECT_EQ(Run(write), STATUS_SUCCESS);
  ASSERT_EQ(device->setups.size(), 1u);
  EXPECT_EQ(device->setups[0].bmRequestType, 0x40);
  EXPECT_EQ(device->setups[0].bRequest, kVendorWrite);
  EXPECT_EQ(device->setups[0].wValue, 0x7F92);
  EXPECT_EQ(device->setups[0].wLength, 1);
  EXPECT_EQ(device->vendorWrites, std::vector<std::vector<uint8_t>>{{1}});
  EXPECT_EQ(write.Urb()->UrbControlVendorClassRequest.TransferBufferLength, 1u);

  device->vendorData = {1, 2, 3};
  Submission read;
  Vendor(read, true, kVendorRead, 0x1234, 5, 16);
  EXPECT_EQ(Run(read), STATUS_SUCCESS);
  EXPECT_EQ(device->setups[1].bmRequestType, 0xC0);
  EXPECT_EQ(device->setups[1].wIndex, 5);
  EXPECT_EQ(device->setups[1].wLength, 16);
  EXPECT_EQ(read.Urb()->UrbControlVendorClassRequest.TransferBufferLength, 3u);
  EXPECT_EQ(std::vector<uint8_t>(read.buffer.begin(), read.buffer.begin() + 3), device->vendorData);

  Submission stall;
  Vendor(stall, false, kVendorStall, 0, 0, 0);
  EXPECT_EQ(Run(stall), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(URB_STATUS(stall.Urb()), USBD_STATUS_STALL_PID);
}

TEST_F(UsbBusControl, ControlTransfersOfOneDeviceTakeAFrameEach) {
  Submission a, b, c;
  Descriptor(a, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  Descriptor(b, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  Descriptor(c, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  machine().RunTask("function", [&] {
    SubmitHere(a, pdo);
    SubmitHere(b, pdo);
    SubmitHere(c, pdo);
  });
  machine().RunUntilIdle();
  EXPECT_EQ(a.when, 1 * sim::kMillisecond);
  EXPECT_EQ(b.when, 2 * sim::kMillisecond);
  EXPECT_EQ(c.when, 3 * sim::kMillisecond);
}

TEST_F(UsbBusControl, RequestsThatMustBlockAreReportedAbovePassiveLevel) {
  auto* info = Configure();
  Submission reset;
  PipeRequest(reset, URB_FUNCTION_RESET_PIPE, info->Pipes[1].PipeHandle);
  machine().RunTask("dpc-like", [&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    SubmitHere(reset, pdo);
    KeLowerIrql(old);
  });
  EXPECT_TRUE(Contains(TakeViolations(), "URB function requires PASSIVE_LEVEL"));
  EXPECT_TRUE(Finish(reset));
}

TEST_F(UsbBusControl, FrameNumberFollowsTheVirtualClock) {
  machine().RunFor(5 * sim::kMillisecond + 4000);
  Submission frame;
  frame.Urb()->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  frame.Urb()->UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
  Submit(frame);
  EXPECT_TRUE(frame.completedInsideCall);
  EXPECT_EQ(frame.returned, STATUS_SUCCESS);
  EXPECT_EQ(frame.Urb()->UrbGetCurrentFrameNumber.FrameNumber, 5u);
}

class UsbBusPnp : public UsbBusTest {};

TEST_F(UsbBusPnp, PdoAnswersPlugAndPlayAndPowerLikeABusDriver) {
  PDEVICE_CAPABILITIES caps = nullptr;
  DEVICE_CAPABILITIES storage{};
  caps = &storage;
  sim::io::Result capabilities = sim::io::SendPnp(fdo, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION sp) {
    sp->Parameters.DeviceCapabilities.Capabilities = caps;
  });
  EXPECT_EQ(capabilities.status, STATUS_SUCCESS);
  EXPECT_EQ(storage.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(sim::io::SendPnp(fdo, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(sim::io::SendPower(fdo, IRP_MN_SET_POWER, DevicePowerState, d3).status, STATUS_SUCCESS);
  EXPECT_EQ(sim::io::RecordedPowerState(pdo, DevicePowerState).DeviceState, PowerDeviceD3);
  // The hub answers the IDs (see the plug-and-play tests), not a serial-number query.
  EXPECT_EQ(sim::io::SendPnp(fdo, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION sp) {
              sp->Parameters.QueryId.IdType = BusQueryDeviceSerialNumber;
            }).status,
            STATUS_NOT_SUPPORTED);
}

TEST_F(UsbBusPnp, RemoveWithTheDevicePresentEndsItsTransfersAndKeepsThePdo) {
  auto* info = Configure();
  Submission read;
  Bulk(read, info->Pipes[0].PipeHandle, 64, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  Submit(read);
  EXPECT_EQ(sim::io::SendPnp(fdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  ASSERT_TRUE(read.completed);
  EXPECT_EQ(read.status, STATUS_CANCELLED);
  machine().RunUntilIdle();
  EXPECT_TRUE(sim::io::IsDeleted(fdo));
  EXPECT_FALSE(sim::io::IsDeleted(pdo));
  // A new function device starts from the unconfigured device.
  PDEVICE_OBJECT again = AddFunctionDevice(pdo);
  Submission stale;
  Bulk(stale, info->Pipes[1].PipeHandle, 4, 0);
  Submit(stale);
  EXPECT_EQ(URB_STATUS(stale.Urb()), USBD_STATUS_INVALID_PIPE_HANDLE);
  EXPECT_NE(Configure(4096)->Pipes[0].PipeHandle, nullptr);
  (void)again;
}

TEST_F(UsbBusPnp, ReattachPresentsANewPdoAndRemoveDeletesTheOldOne) {
  std::vector<std::pair<std::string, PDEVICE_OBJECT>> events;
  sim::usb::SetPnpHandlers({[&](sim::usb::BusPort&, PDEVICE_OBJECT p) { events.push_back({"arrived", p}); },
                            [&](sim::usb::BusPort&, PDEVICE_OBJECT p) { events.push_back({"departed", p}); }});
  PDEVICE_OBJECT oldPdo = pdo;
  port->Detach();
  EXPECT_FALSE(port->Attached());
  EXPECT_EQ(port->Pdo(), nullptr);
  port->Attach();
  PDEVICE_OBJECT newPdo = port->Pdo();
  ASSERT_NE(newPdo, nullptr);
  EXPECT_NE(newPdo, oldPdo);
  EXPECT_EQ(port->Address(), 2);
  EXPECT_EQ(port->Presentations(), 2u);
  EXPECT_EQ(sim::usb::PortOfPdo(oldPdo), port);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], std::make_pair(std::string("departed"), oldPdo));
  EXPECT_EQ(events[1], std::make_pair(std::string("arrived"), newPdo));

  // Plug and play asks the hub and tears the old stack down; the PDO goes once the function
  // device is off it.
  sim::usb::HubRelationsTaken();
  EXPECT_EQ(sim::io::SendPnp(fdo, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
  EXPECT_EQ(sim::io::SendPnp(fdo, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  machine().RunUntilIdle();
  EXPECT_TRUE(sim::io::IsDeleted(oldPdo));
  EXPECT_FALSE(sim::io::IsDeleted(newPdo));

  PDEVICE_OBJECT newFdo = AddFunctionDevice(newPdo);
  Submission descriptor;
  Descriptor(descriptor, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  EXPECT_EQ(Run(descriptor, newPdo), STATUS_SUCCESS);
  (void)newFdo;
}

TEST_F(UsbBusPnp, TrafficIsCapturedAsSubmissionAndCompletionRecords) {
  const auto path =
      std::filesystem::temp_directory_path() / ("zel_usb_bus_" + std::to_string(::getpid()) + ".pcap");
  ASSERT_TRUE(sim::usb::StartCapture(path.string()));
  auto* info = Configure();
  Submission descriptor;
  Descriptor(descriptor, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
  EXPECT_EQ(Run(descriptor), STATUS_SUCCESS);
  Submission out;
  out.buffer = {'a', 'b', 'c'};
  Bulk(out, info->Pipes[1].PipeHandle, 3, 0);
  EXPECT_EQ(Run(out), STATUS_SUCCESS);
  Submission refused;
  refused.Urb()->UrbHeader.Function = 0x16;
  refused.Urb()->UrbHeader.Length = sizeof(URB);
  Submit(refused);
  EXPECT_EQ(sim::usb::StopCapture(), 8u);

  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  std::filesystem::remove(path);
  // Walk the records: (header length, function, info, endpoint, transfer, data length).
  struct Record {
    unsigned headerLength, function, info, endpoint, transfer;
    std::vector<uint8_t> data;
  };
  std::vector<Record> records;
  for (size_t at = 24; at + 16 <= bytes.size();) {
    const size_t included = bytes[at + 8] | bytes[at + 9] << 8 | bytes[at + 10] << 16;
    const size_t p = at + 16;
    Record r{bytes[p] | unsigned(bytes[p + 1]) << 8, bytes[p + 14] | unsigned(bytes[p + 15]) << 8, bytes[p + 16],
             bytes[p + 21], bytes[p + 22], {}};
    r.data.assign(bytes.begin() + p + r.headerLength, bytes.begin() + p + included);
    records.push_back(r);
    at = p + included;
  }
  ASSERT_EQ(records.size(), 8u);
  // Select configuration: SETUP stage out, COMPLETE stage back.
  EXPECT_EQ(records[0].headerLength, 28u);
  EXPECT_EQ(records[0].function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(records[1].info, 1u);
  // Device descriptor: the 8 setup bytes, then 18 bytes coming back.
  EXPECT_EQ(records[2].data.size(), 8u);
  EXPECT_EQ(records[2].data[1], USB_REQUEST_GET_DESCRIPTOR);
  EXPECT_EQ(records[3].data, device->deviceDescriptor);
  // Bulk OUT: the data on submission, none on completion.
  EXPECT_EQ(records[4].transfer, 3u);
  EXPECT_EQ(records[4].endpoint, 0x01u);
  EXPECT_EQ(records[4].data, (std::vector<uint8_t>{'a', 'b', 'c'}));
  EXPECT_TRUE(records[5].data.empty());
  // The refused URB still shows, as IRP information.
  EXPECT_EQ(records[6].transfer, 0xFEu);
  EXPECT_EQ(records[7].function, 0x16u);
}

}  // namespace
}  // namespace usbtest
