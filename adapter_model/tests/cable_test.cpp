// What is plugged into a port: nothing, a loopback plug, a null-modem cable to another port
// of this or another adapter, and how the modem lines come back as events.
#include "adapter_model/scripted_peer.h"
#include "adapter_test_support.h"

namespace adapter_model::testing {
namespace {

Bytes ModemEvent(uint8_t port, uint8_t msr) { return {response::kEvent, port, response::kModemStatusChanged, msr}; }

using Loopback = AdapterTest;

TEST_F(Loopback, DataComesBackThroughThePlug) {
  LoopbackPlug plug(adapter().PortConnector(1));
  Open(1);
  Configure(1, Settings(115200));
  Host().Poll(DataInEndpoint(1));
  Bytes sent;
  for (int i = 0; i < 300; ++i) sent.push_back(uint8_t(i * 7));
  Host().Send(DataOutEndpoint(1), sent);
  machine().RunFor(60 * kMillisecond);
  EXPECT_EQ(Host().ReceivedBytes(DataInEndpoint(1)), sent);
  for (const auto& packet : Host().Received(DataInEndpoint(1))) EXPECT_LE(packet.bytes.size(), kPacketSize);
  EXPECT_EQ(Channel(1).Stats().overruns, 0u);
}

TEST_F(Loopback, ModemLinesFollowTheOutputs) {
  LoopbackPlug plug(adapter().PortConnector(2));
  ASSERT_EQ(Command({command::kOpen, 2}), Handshake::Ack);
  const uint8_t allOn = kMsrCts | kMsrDsr | kMsrDcd;
  EXPECT_EQ(Responses(), (std::vector<Bytes>{ModemEvent(2, allOn | kMsrDeltaCts | kMsrDeltaDsr | kMsrDeltaDcd),
                                             Ack(command::kOpen, 2)}));
  ASSERT_EQ(Command({command::kSetRts, 2, 0}), Handshake::Ack);
  EXPECT_EQ(Responses(), (std::vector<Bytes>{ModemEvent(2, kMsrDsr | kMsrDcd | kMsrDeltaCts), Ack(command::kSetRts, 2)}));
  ASSERT_EQ(Command({command::kSetDtr, 2, 0}), Handshake::Ack);
  EXPECT_EQ(Responses(), (std::vector<Bytes>{ModemEvent(2, kMsrDeltaDsr | kMsrDeltaDcd), Ack(command::kSetDtr, 2)}));
  ASSERT_EQ(Command({command::kSetDtr, 2, 0}), Handshake::Ack);
  EXPECT_EQ(Responses(), std::vector<Bytes>{Ack(command::kSetDtr, 2)}) << "no change, no event";
}

class LoopbackRing : public AdapterTest {};

TEST_F(LoopbackRing, RingWiredToDtrReportsItsTrailingEdge) {
  LoopbackPlug plug(adapter().PortConnector(3), RingWiring::FromDtr);
  Open(3);
  EXPECT_EQ(Channel(3).ModemStatus(), kMsrCts | kMsrDsr | kMsrDcd | kMsrRing);
  ASSERT_EQ(Command({command::kSetDtr, 3, 0}), Handshake::Ack);
  auto responses = Responses();
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0], ModemEvent(3, kMsrCts | kMsrDeltaDsr | kMsrDeltaDcd | kMsrTrailingEdgeRing));
}

using ModemEvents = AdapterTest;

TEST_F(ModemEvents, RingRisingAloneIsNoEventItsEndIs) {
  ScriptedPeer peer(adapter().PortConnector(1));
  Open(1);
  peer.SetRing(true);
  EXPECT_TRUE(Responses().empty());
  EXPECT_EQ(Channel(1).ModemStatus(), kMsrRing);
  peer.SetRing(false);
  EXPECT_EQ(Responses(), std::vector<Bytes>{ModemEvent(1, kMsrTrailingEdgeRing)});
}

TEST_F(ModemEvents, ChangesWhileAnEventWaitsAreMergedIntoIt) {
  ScriptedPeer peer(adapter().PortConnector(4));
  Open(4);
  ASSERT_EQ(Command({command::kStatus, 1}), Handshake::Ack);  // occupies the endpoint buffer
  peer.SetCts(true);
  peer.SetDsr(true);
  peer.SetCts(false);
  auto responses = Responses();
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[1], ModemEvent(4, kMsrDsr | kMsrDeltaCts | kMsrDeltaDsr));
}

TEST_F(ModemEvents, NoneForAClosedPort) {
  ScriptedPeer peer(adapter().PortConnector(2));
  peer.SetCts(true);
  peer.SetDcd(true);
  peer.SendBreak(10 * kMillisecond);
  machine().RunFor(20 * kMillisecond);
  EXPECT_TRUE(Responses().empty());
}

using NullModem = AdapterTest;

TEST_F(NullModem, TwoPortsOfOneAdapterTalkBothWays) {
  NullModemCable cable(adapter().PortConnector(1), adapter().PortConnector(3));
  Open(1);
  Open(3);
  Configure(1, Settings(57600, 7, Parity::Odd));
  Configure(3, Settings(57600, 7, Parity::Odd));
  Host().Poll(DataInEndpoint(1));
  Host().Poll(DataInEndpoint(3));
  Host().Send(DataOutEndpoint(1), ToBytes("from one to three"));
  Host().Send(DataOutEndpoint(3), ToBytes("and back"));
  machine().RunFor(10 * kMillisecond);
  EXPECT_EQ(Host().ReceivedBytes(DataInEndpoint(3)), ToBytes("from one to three"));
  EXPECT_EQ(Host().ReceivedBytes(DataInEndpoint(1)), ToBytes("and back"));
  Host().Stop();
  EXPECT_EQ(Channel(3).ModemStatus(), kMsrCts | kMsrDsr | kMsrDcd);

  Responses();
  ASSERT_EQ(Command({command::kSetDtr, 1, 0}), Handshake::Ack);
  EXPECT_EQ(Responses(), (std::vector<Bytes>{ModemEvent(3, kMsrCts | kMsrDeltaDsr | kMsrDeltaDcd), Ack(command::kSetDtr, 1)}));
}

TEST_F(NullModem, AMismatchedFormatOnOneSideShowsAsErrors) {
  NullModemCable cable(adapter().PortConnector(2), adapter().PortConnector(4));
  Open(2);
  Open(4);
  Configure(2, Settings(9600, 8, Parity::Even));
  Configure(4, Settings(9600, 8, Parity::Odd));
  Responses();
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(2), ToBytes("abc")), Handshake::Ack);
  machine().RunFor(10 * kMillisecond);
  EXPECT_EQ(Channel(4).Stats().parityErrors, 3u);
}

TEST_F(NullModem, TwoAdaptersOverOneCable) {
  RecordingPort otherPort;
  Adapter other;
  other.Plug(otherPort);
  ASSERT_EQ(other.Device().SetConfiguration(1), Handshake::Ack);
  NullModemCable cable(adapter().PortConnector(2), other.PortConnector(4));
  Open(2);
  ASSERT_EQ(other.Device().BulkOut(kCommandEndpoint, Bytes{command::kOpen, 4}), Handshake::Ack);
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(2), ToBytes("across")), Handshake::Ack);
  machine().RunFor(10 * kMillisecond);
  Bytes received;
  Bytes packet;
  while (other.Device().BulkIn(DataInEndpoint(4), 64, packet) == Handshake::Ack)
    received.insert(received.end(), packet.begin(), packet.end());
  EXPECT_EQ(received, ToBytes("across"));
  EXPECT_EQ(other.Channel(4)->ModemStatus(), kMsrCts | kMsrDsr | kMsrDcd);
}

TEST_F(NullModem, ACableNeedsTwoFreePorts) {
  LoopbackPlug plug(adapter().PortConnector(1));
  EXPECT_THROW(NullModemCable(adapter().PortConnector(1), adapter().PortConnector(2)), std::logic_error);
  EXPECT_THROW(NullModemCable(adapter().PortConnector(2), adapter().PortConnector(1)), std::logic_error);
  EXPECT_THROW(NullModemCable(adapter().PortConnector(2), adapter().PortConnector(2)), std::logic_error);
  EXPECT_EQ(adapter().PortConnector(2).PluggedCable(), nullptr) << "a refused cable leaves nothing behind";
  NullModemCable cable(adapter().PortConnector(2), adapter().PortConnector(3));
}

using Unplugged = AdapterTest;

TEST_F(Unplugged, NothingAttachedStillTakesTheTimeAndSeesNothing) {
  Open(2);
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(2), Bytes(20, 'z')), Handshake::Ack);
  machine().RunFor(10 * kMillisecond);
  EXPECT_EQ(adapter().PortUart(2).CharactersSent(), 9u) << "9600 8N1 sends 9.6 characters in 10 ms";
  machine().RunFor(20 * kMillisecond);
  EXPECT_EQ(adapter().PortUart(2).CharactersSent(), 20u);
  EXPECT_EQ(Channel(2).ModemStatus(), 0);
  EXPECT_TRUE(DataPackets(2).empty());
}

TEST_F(Unplugged, RemovingACableDropsTheInputs) {
  auto plug = std::make_unique<LoopbackPlug>(adapter().PortConnector(1));
  Open(1);
  ASSERT_EQ(Channel(1).ModemStatus(), kMsrCts | kMsrDsr | kMsrDcd);
  plug.reset();
  EXPECT_EQ(Responses(), std::vector<Bytes>{ModemEvent(1, kMsrDeltaCts | kMsrDeltaDsr | kMsrDeltaDcd)});
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(1), ToBytes("gone")), Handshake::Ack);
  machine().RunFor(10 * kMillisecond);
  EXPECT_TRUE(DataPackets(1).empty());
}

TEST_F(Unplugged, AnAdapterGoingAwayLeavesTheCableDeadAtItsEnd) {
  RecordingPort otherPort;
  auto other = std::make_unique<Adapter>();
  other->Plug(otherPort);
  ASSERT_EQ(other->Device().SetConfiguration(1), Handshake::Ack);
  NullModemCable cable(adapter().PortConnector(3), other->PortConnector(1));
  ASSERT_EQ(other->Device().BulkOut(kCommandEndpoint, Bytes{command::kOpen, 1}), Handshake::Ack);
  Open(3);
  ASSERT_EQ(Channel(3).ModemStatus(), kMsrCts | kMsrDsr | kMsrDcd);
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(3), ToBytes("into the void")), Handshake::Ack);
  other.reset();
  EXPECT_EQ(Channel(3).ModemStatus(), 0);
  EXPECT_EQ(adapter().PortConnector(3).PluggedCable(), nullptr);
  machine().RunFor(20 * kMillisecond);
  EXPECT_EQ(Channel(3).Stats().transmitted, 13u);
}

}  // namespace
}  // namespace adapter_model::testing
