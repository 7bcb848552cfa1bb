// The controller side of the adapter: what it presents on endpoint 0, which bulk endpoints
// exist and when, the on-chip loader's RAM and CPU control register, halts, unplugging.
#include "adapter_model/scripted_peer.h"
#include "adapter_test_support.h"

namespace adapter_model::testing {
namespace {

using sim::usb::SetupPacket;

uint16_t Word(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

std::string StringOf(const Bytes& descriptor) {
  std::string text;
  for (size_t i = 2; i + 1 < descriptor.size(); i += 2) text.push_back(char(descriptor[i]));
  return text;
}

Handshake LoaderWrite(sim::usb::UsbDevice& device, uint16_t address, Bytes data) {
  SetupPacket setup{0x40, 0xA0, address, 0, uint16_t(data.size())};
  return device.ControlTransfer(setup, data);
}

std::optional<Bytes> LoaderRead(sim::usb::UsbDevice& device, uint16_t address, uint16_t length) {
  SetupPacket setup{0xC0, 0xA0, address, 0, length};
  Bytes data;
  if (device.ControlTransfer(setup, data) != Handshake::Ack) return std::nullopt;
  return data;
}

using MainDescriptors = AdapterTest;

TEST_F(MainDescriptors, DeviceDescriptorShowsTheMainFirmwareRunning) {
  Bytes d = Device().GetDescriptor(kDescriptorDevice, 0, 0);
  ASSERT_EQ(d.size(), 18u);
  EXPECT_EQ(d[0], 18);
  EXPECT_EQ(d[1], kDescriptorDevice);
  EXPECT_EQ(Word(d, 2), 0x0100);                  // USB 1.00
  EXPECT_EQ(Bytes(d.begin() + 4, d.begin() + 7), (Bytes{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(d[7], 64);                            // endpoint 0 packet size
  EXPECT_EQ(Word(d, 8), 0x5A45);
  EXPECT_TRUE(Word(d, 10) & 0x8000) << "bit 15 of idProduct marks the main firmware";
  EXPECT_EQ(Bytes(d.begin() + 14, d.end()), (Bytes{1, 2, 3, 1}));
}

TEST_F(MainDescriptors, ConfigurationListsTenBulkEndpointsInPipeOrder) {
  Bytes c = Device().GetDescriptor(kDescriptorConfiguration, 0, 0);
  ASSERT_EQ(c.size(), 88u);
  EXPECT_EQ(Word(c, 2), 88);
  EXPECT_EQ(c[4], 1);     // one interface
  EXPECT_EQ(c[5], 1);     // configuration value
  EXPECT_EQ(c[6], 4);     // its string
  EXPECT_EQ(c[7], 0x80);  // bus powered
  EXPECT_EQ(c[8], 0x3C);  // 120 mA
  const Bytes interface(c.begin() + 9, c.begin() + 18);
  EXPECT_EQ(interface, (Bytes{9, kDescriptorInterface, 0, 0, 10, 0xFF, 0xFF, 0xFF, 5}));
  const Bytes order{0x81, 0x01, 0x82, 0x02, 0x83, 0x03, 0x84, 0x04, 0x87, 0x07};
  for (size_t i = 0; i < order.size(); ++i) {
    const size_t at = 18 + 7 * i;
    SCOPED_TRACE("endpoint " + std::to_string(i));
    EXPECT_EQ(c[at], 7);
    EXPECT_EQ(c[at + 1], kDescriptorEndpoint);
    EXPECT_EQ(c[at + 2], order[i]);
    EXPECT_EQ(c[at + 3], kEndpointBulk);
    EXPECT_EQ(Word(c, at + 4), 64);
  }
}

TEST_F(MainDescriptors, StringsInOneLanguage) {
  EXPECT_EQ(Device().GetDescriptor(kDescriptorString, 0, 0), (Bytes{4, 3, 0x09, 0x04}));
  const std::string serial = StringOf(Device().GetDescriptor(kDescriptorString, 3, 0x0409));
  EXPECT_EQ(serial, adapter().SerialNumber());
  ASSERT_EQ(serial.size(), 12u);
  EXPECT_EQ(serial[2], '-');
  EXPECT_EQ(serial[5], '-');
  EXPECT_EQ(StringOf(Device().GetDescriptor(kDescriptorString, 4, 0x0409)), "Configuration String");
  EXPECT_EQ(StringOf(Device().GetDescriptor(kDescriptorString, 5, 0x0409)), "Interface String");
  EXPECT_FALSE(StringOf(Device().GetDescriptor(kDescriptorString, 1, 0x0409)).empty());
  EXPECT_FALSE(StringOf(Device().GetDescriptor(kDescriptorString, 2, 0x0409)).empty());
  EXPECT_TRUE(Device().GetDescriptor(kDescriptorString, 6, 0x0409).empty()) << "unknown string stalls";
  EXPECT_TRUE(Device().GetDescriptor(9, 0, 0).empty());
}

TEST_F(MainDescriptors, StandardRequestsThroughEndpointZero) {
  Bytes data;
  SetupPacket getConfiguration9{0x80, 0x06, 0x0200, 0, 9};
  ASSERT_EQ(Device().ControlTransfer(getConfiguration9, data), Handshake::Ack);
  ASSERT_EQ(data.size(), 9u) << "cut to wLength";
  EXPECT_EQ(Word(data, 2), 88);
  SetupPacket getConfigurationValue{0x80, 0x08, 0, 0, 1};
  ASSERT_EQ(Device().ControlTransfer(getConfigurationValue, data), Handshake::Ack);
  EXPECT_EQ(data, Bytes{1});
  SetupPacket unknownVendor{0x40, 0xA3, 0x8000, 0, 1};
  data = {0};
  EXPECT_EQ(Device().ControlTransfer(unknownVendor, data), Handshake::Stall) << "the main firmware serves no 0xA3";
  SetupPacket classRequest{0x21, 0x20, 0, 0, 0};
  data.clear();
  EXPECT_EQ(Device().ControlTransfer(classRequest, data), Handshake::Stall);
}

class SerialNumberOption : public AdapterTest {
  AdapterOptions Options() override {
    AdapterOptions options;
    options.firmware.serialNumber = std::string(32, 'S');
    return options;
  }
};

TEST_F(SerialNumberOption, StringThreeCarriesTheConfiguredSerialNumber) {
  Bytes s = Device().GetDescriptor(kDescriptorString, 3, 0x0409);
  EXPECT_EQ(s[0], 66);
  EXPECT_EQ(StringOf(s), std::string(32, 'S'));
}

TEST(AdapterOptionsCheck, SerialNumberTooLongForADescriptorIsRefused) {
  sim::Machine machine(1);
  AdapterOptions options;
  options.firmware.serialNumber = std::string(127, 'x');
  Adapter adapter(options);
  RecordingPort port;
  EXPECT_THROW(adapter.Plug(port), std::invalid_argument);
}

using BulkEndpoints = AdapterTest;

TEST_F(BulkEndpoints, ExistOnlyWhileConfigured) {
  EXPECT_EQ(Command({command::kStatus, 1}), Handshake::Ack);
  ASSERT_EQ(Device().SetConfiguration(0), Handshake::Ack);
  EXPECT_EQ(Command({command::kStatus, 1}), Handshake::Stall);
  Bytes packet;
  EXPECT_EQ(Device().BulkIn(kResponseEndpoint, 64, packet), Handshake::Stall);
  EXPECT_EQ(Device().SetConfiguration(2), Handshake::Stall);
  ASSERT_EQ(Device().SetConfiguration(1), Handshake::Ack);
  // The status reply asked for before deconfiguring is still there.
  auto responses = Responses();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0][0], response::kStatus);
}

TEST_F(BulkEndpoints, WrongDirectionUnknownAndOversizedPacketsStall) {
  Bytes packet;
  EXPECT_EQ(Device().BulkIn(0x07, 64, packet), Handshake::Stall);
  EXPECT_EQ(Device().BulkOut(0x81, Bytes{1}), Handshake::Stall);
  EXPECT_EQ(Device().BulkOut(0x05, Bytes{1}), Handshake::Stall);
  EXPECT_EQ(Device().BulkIn(0x85, 64, packet), Handshake::Stall);
  EXPECT_EQ(Device().BulkOut(kCommandEndpoint, Bytes(65, 0)), Handshake::Stall);
  EXPECT_EQ(Device().BulkIn(kResponseEndpoint, 64, packet), Handshake::Nak) << "nothing to say yet";
  EXPECT_EQ(adapter().Controller().Stats(0x05).stalled, 1u);
}

TEST_F(BulkEndpoints, HaltedEndpointStallsUntilResetAndKeepsItsData) {
  ASSERT_EQ(Command({command::kStatus, 2}), Handshake::Ack);
  adapter().StallPipe(kResponseEndpoint);
  Bytes packet;
  EXPECT_EQ(Device().BulkIn(kResponseEndpoint, 64, packet), Handshake::Stall);
  EXPECT_EQ(Device().BulkIn(kResponseEndpoint, 64, packet), Handshake::Stall);
  SetupPacket getStatus{0x82, 0x00, 0, kResponseEndpoint, 2};
  ASSERT_EQ(Device().ControlTransfer(getStatus, packet), Handshake::Ack);
  EXPECT_EQ(packet, (Bytes{1, 0}));
  // A halt cleared through CLEAR_FEATURE, as a pipe reset does.
  SetupPacket clearHalt{0x02, 0x01, 0, kResponseEndpoint, 0};
  packet.clear();
  ASSERT_EQ(Device().ControlTransfer(clearHalt, packet), Handshake::Ack);
  auto responses = Responses();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0][1], 2);
}

TEST_F(BulkEndpoints, AnEndpointThatNakedAsksForAPollOnceReady) {
  Open(1);
  Bytes packet;
  ASSERT_EQ(Device().BulkIn(kResponseEndpoint, 64, packet), Handshake::Nak);
  ASSERT_EQ(Device().BulkIn(DataInEndpoint(1), 64, packet), Handshake::Nak);
  EXPECT_EQ(port_.pollRequests, 0u);
  ASSERT_EQ(Command({command::kSetDtr, 1, 1}), Handshake::Ack);
  EXPECT_EQ(port_.pollRequests, 1u) << "the acknowledgement is ready";
  ASSERT_EQ(Command({command::kSetDtr, 1, 0}), Handshake::Ack);
  EXPECT_EQ(port_.pollRequests, 1u) << "no NAK in between: the host polls anyway";
  Responses();

  // The data OUT buffer: full, a NAK, then room again once the UART takes bytes.
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(1), Bytes(64, 'a')), Handshake::Ack);
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(1), Bytes(64, 'b')), Handshake::Ack);
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(1), Bytes(64, 'c')), Handshake::Ack);
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(1), Bytes(64, 'd')), Handshake::Nak);
  const uint64_t before = port_.pollRequests;
  machine().RunFor(100 * kMillisecond);
  EXPECT_EQ(port_.pollRequests, before + 1);
  EXPECT_EQ(Device().BulkOut(DataOutEndpoint(1), Bytes(64, 'd')), Handshake::Ack);
}

using OnChipLoader = AdapterTest;

TEST_F(OnChipLoader, WritesAndReadsInternalRam) {
  const Bytes record{0x02, 0x03, 0x70, 0x22, 0x90, 0x7F, 0x92, 0xE0};
  EXPECT_EQ(LoaderWrite(Device(), 0x0370, record), Handshake::Ack);
  EXPECT_EQ(LoaderRead(Device(), 0x0370, 8), record);
  EXPECT_EQ(adapter().Controller().Peek(0x0372), 0x70);
  EXPECT_EQ(LoaderWrite(Device(), 0x1B3F, {0xAA}), Handshake::Ack) << "last internal byte";
  EXPECT_EQ(LoaderWrite(Device(), 0x1B40, {0xAA}), Handshake::Stall) << "external RAM is not the loader's";
  EXPECT_EQ(LoaderWrite(Device(), 0x1B38, Bytes(9, 0)), Handshake::Stall) << "a record crossing the end";
  EXPECT_EQ(adapter().Controller().Peek(0x1B38), 0) << "nothing of a refused record is written";
  EXPECT_EQ(LoaderWrite(Device(), 0x0100, {}), Handshake::Ack);
  EXPECT_FALSE(LoaderRead(Device(), 0x1B3F, 2).has_value());
  EXPECT_TRUE(adapter().Firmware()) << "writing RAM does not disturb the running firmware";
}

TEST_F(OnChipLoader, CpuControlRegisterHoldsAndReleasesTheFirmware) {
  ScriptedPeer peer(adapter().PortConnector(1));
  Open(1);
  ASSERT_EQ(Command({command::kSetBreak, 1, 1}), Handshake::Ack);
  ASSERT_TRUE(adapter().PortUart(1).Dtr());
  EXPECT_EQ(LoaderRead(Device(), 0x7F92, 1), Bytes{0});

  ASSERT_EQ(LoaderWrite(Device(), 0x7F92, {1}), Handshake::Ack);
  EXPECT_TRUE(adapter().Controller().CpuHeld());
  EXPECT_EQ(adapter().Firmware(), nullptr);
  EXPECT_EQ(LoaderRead(Device(), 0x7F92, 1), Bytes{1});
  EXPECT_TRUE(Device().GetDescriptor(kDescriptorDevice, 0, 0).empty()) << "a held CPU answers no descriptor";
  EXPECT_FALSE(adapter().PortUart(1).Dtr()) << "the board reset drops the outputs";
  EXPECT_FALSE(peer.PortTxdSpace()) << "and ends the break";
  EXPECT_EQ(Command({command::kStatus, 1}), Handshake::Ack) << "the hardware buffer takes one packet";
  EXPECT_EQ(Command({command::kStatus, 1}), Handshake::Nak) << "and nobody empties it";

  const VirtualTime released = machine().Now();
  ASSERT_EQ(LoaderWrite(Device(), 0x7F92, {0}), Handshake::Ack);
  ASSERT_NE(adapter().Firmware(), nullptr);
  EXPECT_FALSE(adapter().Channel(1)->IsOpen()) << "the firmware starts afresh";
  machine().RunFor(20 * kMillisecond);
  ASSERT_EQ(port_.log.size(), 3u);
  EXPECT_EQ(port_.log[1].second, "detach");
  EXPECT_EQ(port_.log[1].first, released + UsbController::kRenumerationDetachDelay);
  EXPECT_EQ(port_.log[2].second, "attach");
  EXPECT_EQ(port_.log[2].first,
            released + UsbController::kRenumerationDetachDelay + UsbController::kRenumerationAttachDelay);
  EXPECT_TRUE(Word(Device().GetDescriptor(kDescriptorDevice, 0, 0), 10) & 0x8000);
  EXPECT_EQ(Command({command::kStatus, 1}), Handshake::Stall) << "not configured again yet";
  ASSERT_EQ(Device().SetConfiguration(1), Handshake::Ack);
  Open(1);
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(1), ToBytes("up")), Handshake::Ack);
  machine().RunFor(5 * kMillisecond);
  EXPECT_EQ(peer.ReceivedText(), "up");
}

class BlankController : public AdapterTest {
  AdapterOptions Options() override {
    AdapterOptions options;
    options.runningMainFirmware = false;
    return options;
  }
};

TEST_F(BlankController, PresentsItsOwnIdentityWithoutFirmware) {
  Bytes d = Device().GetDescriptor(kDescriptorDevice, 0, 0);
  ASSERT_EQ(d.size(), 18u);
  EXPECT_FALSE(Word(d, 10) & 0x8000);
  EXPECT_EQ(d[4], 0);
  EXPECT_EQ(d[16], 0) << "no serial number string";
  Bytes c = Device().GetDescriptor(kDescriptorConfiguration, 0, 0);
  EXPECT_EQ(Word(c, 2), 18);
  EXPECT_EQ(c[9 + 4], 0) << "no endpoints";
  EXPECT_TRUE(Device().GetDescriptor(kDescriptorString, 3, 0x0409).empty());
  EXPECT_EQ(Command({command::kOpen, 1}), Handshake::Stall);
  EXPECT_EQ(adapter().Firmware(), nullptr);
  EXPECT_TRUE(adapter().Controller().CpuHeld());
  // Loading and releasing the CPU: nothing it could run yet, and it stays as it was.
  EXPECT_EQ(LoaderWrite(Device(), 0x0000, {0x02, 0x03, 0x70}), Handshake::Ack);
  EXPECT_EQ(LoaderWrite(Device(), 0x7F92, {0}), Handshake::Ack);
  EXPECT_FALSE(adapter().Controller().CpuHeld());
  machine().RunFor(20 * kMillisecond);
  EXPECT_EQ(port_.log.size(), 1u) << "no renumeration without a program";
  EXPECT_FALSE(Word(Device().GetDescriptor(kDescriptorDevice, 0, 0), 10) & 0x8000);
}

using Unplugging = AdapterTest;

TEST_F(Unplugging, LosesPowerAndComesBackAfresh) {
  Open(2);
  ASSERT_EQ(LoaderWrite(Device(), 0x0100, {0x55}), Handshake::Ack);
  adapter().Unplug();
  ASSERT_EQ(port_.log.back().second, "detach");
  EXPECT_FALSE(adapter().Controller().Powered());
  EXPECT_EQ(adapter().Firmware(), nullptr);
  EXPECT_FALSE(adapter().PortUart(2).Dtr());
  EXPECT_TRUE(Device().GetDescriptor(kDescriptorDevice, 0, 0).empty());
  EXPECT_EQ(Device().SetConfiguration(1), Handshake::Stall);
  EXPECT_EQ(Command({command::kStatus, 2}), Handshake::Stall);

  adapter().Replug();
  EXPECT_EQ(port_.log.back().second, "attach");
  EXPECT_EQ(adapter().Controller().Peek(0x0100), 0) << "RAM does not survive power loss";
  ASSERT_EQ(Device().SetConfiguration(1), Handshake::Ack);
  EXPECT_FALSE(Channel(2).IsOpen());
  EXPECT_EQ(Command({command::kStatus, 2}), Handshake::Ack);
}

TEST_F(Unplugging, InTheMiddleOfARenumerationEndsIt) {
  ASSERT_EQ(LoaderWrite(Device(), 0x7F92, {1}), Handshake::Ack);
  ASSERT_EQ(LoaderWrite(Device(), 0x7F92, {0}), Handshake::Ack);
  machine().RunFor(5 * kMillisecond);
  ASSERT_EQ(port_.log.back().second, "detach");
  adapter().Unplug();
  machine().RunFor(20 * kMillisecond);
  EXPECT_EQ(port_.log.back().second, "detach") << "a board without power does not come back by itself";
  EXPECT_FALSE(adapter().Controller().Attached());
  adapter().Replug();
  machine().RunFor(20 * kMillisecond);
  ASSERT_EQ(port_.log.size(), 3u);
  EXPECT_EQ(port_.log.back().second, "attach");
  EXPECT_TRUE(adapter().Controller().Attached());
}

}  // namespace
}  // namespace adapter_model::testing
