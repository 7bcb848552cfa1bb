// Flow control both ways, buffer limits and overrun.
#include "adapter_model/scripted_peer.h"
#include "adapter_test_support.h"

namespace adapter_model::testing {
namespace {

class FlowControl : public AdapterTest {
 protected:
  PortSettings With(uint8_t handshake, char flow = 'n', uint32_t baud = 9600) {
    PortSettings s = Settings(baud);
    s.handshake = handshake;
    s.flow = flow;
    return s;
  }
};

TEST_F(FlowControl, CtsHandshakeHoldsTransmissionBetweenCharacters) {
  ScriptedPeer peer(adapter().PortConnector(1));
  Open(1);
  Configure(1, With(kHandshakeCts));
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(1), ToBytes("0123456789")), Handshake::Ack);
  machine().RunFor(20 * kMillisecond);
  EXPECT_TRUE(peer.Received().empty()) << "CTS is off";

  const VirtualTime on = machine().Now();
  peer.SetCts(true);
  machine().RunFor(3 * kMillisecond);
  ASSERT_EQ(peer.Received().size(), 2u);
  EXPECT_EQ(peer.Received()[0].start, on);
  peer.SetCts(false);  // in the middle of the third character
  machine().RunFor(20 * kMillisecond);
  EXPECT_EQ(peer.ReceivedText(), "012") << "the character on the wire is finished";
  peer.SetCts(true);
  machine().RunFor(20 * kMillisecond);
  EXPECT_EQ(peer.ReceivedText(), "0123456789");
}

TEST_F(FlowControl, DsrHandshakeHoldsTransmission) {
  ScriptedPeer peer(adapter().PortConnector(2));
  Open(2);
  Configure(2, With(kHandshakeDsr));
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(2), ToBytes("dsr")), Handshake::Ack);
  peer.SetCts(true);
  machine().RunFor(10 * kMillisecond);
  EXPECT_TRUE(peer.Received().empty());
  peer.SetDsr(true);
  machine().RunFor(10 * kMillisecond);
  EXPECT_EQ(peer.ReceivedText(), "dsr");
}

TEST_F(FlowControl, WithoutHandshakeCtsIsIgnored) {
  ScriptedPeer peer(adapter().PortConnector(3));
  Open(3);
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(3), ToBytes("free")), Handshake::Ack);
  machine().RunFor(10 * kMillisecond);
  EXPECT_EQ(peer.ReceivedText(), "free");
}

TEST_F(FlowControl, XoffFromTheFarEndStopsTransmissionUntilXon) {
  ScriptedPeer peer(adapter().PortConnector(1));
  Open(1);
  Configure(1, With(kHandshakeNoneLetter, 't'));
  Bytes sent(50, 0);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = uint8_t('A' + i % 26);
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(1), sent), Handshake::Ack);
  machine().RunFor(10 * kMillisecond);
  peer.Send(Bytes{0x13});
  machine().RunFor(2 * kMillisecond);
  const size_t stoppedAt = peer.Received().size();
  machine().RunFor(30 * kMillisecond);
  EXPECT_EQ(peer.Received().size(), stoppedAt) << "held by XOFF";
  EXPECT_TRUE(Channel(1).HeldByXoff());
  peer.Send(Bytes{0x11});
  machine().RunFor(60 * kMillisecond);
  EXPECT_EQ(peer.ReceivedBytes(), sent);
  EXPECT_TRUE(DataPackets(1).empty()) << "XON and XOFF are taken by the firmware";
}

TEST_F(FlowControl, XonXoffCharactersAreDataWithoutTransmitFlowControl) {
  ScriptedPeer peer(adapter().PortConnector(1));
  Open(1);
  Configure(1, With(kHandshakeNoneLetter, 'r'));
  peer.Send(Bytes{0x13, 0x11});
  machine().RunFor(5 * kMillisecond);
  EXPECT_EQ(DataBytes(1), (Bytes{0x13, 0x11}));
}

TEST_F(FlowControl, ReceiveSideSendsXoffAtHighWaterAndXonAtLowWater) {
  ScriptedPeer peer(adapter().PortConnector(4), {115200});
  peer.ObeyXonXoff(true);
  Open(4);
  Configure(4, With(kHandshakeNoneLetter, 'r', 115200));
  Bytes sent(400);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = uint8_t(0x20 + i % 90);
  peer.Send(sent);
  machine().RunFor(100 * kMillisecond);
  ASSERT_EQ(peer.ReceivedBytes(), Bytes{0x13}) << "one XOFF";
  EXPECT_TRUE(Channel(4).ReceiveThrottled());
  // The far end stops between characters: at most the one in flight comes after the XOFF.
  EXPECT_GE(Channel(4).ReceiveLevel(), SerialChannel::kReceiveHighWater);
  EXPECT_LE(Channel(4).ReceiveLevel(), SerialChannel::kReceiveHighWater + 2);

  Host().Poll(DataInEndpoint(4));
  machine().RunFor(200 * kMillisecond);
  EXPECT_EQ(Host().ReceivedBytes(DataInEndpoint(4)), sent);
  ASSERT_EQ(peer.ReceivedBytes(), (Bytes{0x13, 0x11}));
  EXPECT_EQ(Channel(4).Stats().overruns, 0u);
}

TEST_F(FlowControl, RtsHandshakeDropsRtsAtHighWater) {
  ScriptedPeer peer(adapter().PortConnector(2), {115200});
  peer.ObeyRts(true);
  Open(2);
  Configure(2, With(kHandshakeRts, 'n', 115200));
  EXPECT_TRUE(peer.PortRts());
  peer.Send(Bytes(300, 'r'));
  machine().RunFor(100 * kMillisecond);
  EXPECT_FALSE(peer.PortRts());
  EXPECT_LE(Channel(2).ReceiveLevel(), SerialChannel::kReceiveHighWater + 1);
  ASSERT_EQ(Command({command::kSetRts, 2, 1}), Handshake::Ack);
  EXPECT_FALSE(peer.PortRts()) << "the handshake owns RTS";

  Host().Poll(DataInEndpoint(2));
  machine().RunFor(100 * kMillisecond);
  EXPECT_EQ(Host().ReceivedBytes(DataInEndpoint(2)), Bytes(300, 'r'));
  EXPECT_TRUE(peer.PortRts());
  ASSERT_GE(peer.OutputHistory().size(), 3u);
}

TEST_F(FlowControl, TransmitToggleRaisesRtsOnlyWhileSending) {
  ScriptedPeer peer(adapter().PortConnector(3));
  Open(3);
  Configure(3, With(kHandshakeToggle));
  EXPECT_FALSE(peer.PortRts());
  const VirtualTime t0 = machine().Now();
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(3), ToBytes("toggle")), Handshake::Ack);
  EXPECT_TRUE(peer.PortRts());
  machine().RunFor(10 * kMillisecond);
  EXPECT_FALSE(peer.PortRts());
  const auto& history = peer.OutputHistory();
  ASSERT_GE(history.size(), 2u);
  EXPECT_EQ(history[history.size() - 2].time, t0);
  EXPECT_EQ(history.back().time, t0 + 6 * LineFormat{}.FrameTime()) << "down after the last stop bit";
  // The host's drop of RTS at the end of a write changes nothing while the toggle owns it.
  ASSERT_EQ(Command({command::kSetRts, 3, 0}), Handshake::Ack);
  EXPECT_FALSE(peer.PortRts());
  EXPECT_EQ(peer.ReceivedText(), "toggle");
}

TEST_F(FlowControl, TransmitBufferFillsAndTheEndpointNaks) {
  ScriptedPeer peer(adapter().PortConnector(1));
  Open(1);
  const uint8_t endpoint = DataOutEndpoint(1);
  EXPECT_EQ(Device().BulkOut(endpoint, Bytes(64, 'a')), Handshake::Ack);
  EXPECT_EQ(Device().BulkOut(endpoint, Bytes(64, 'b')), Handshake::Ack);
  EXPECT_EQ(Device().BulkOut(endpoint, Bytes(64, 'c')), Handshake::Ack) << "held in the endpoint buffer";
  EXPECT_EQ(Device().BulkOut(endpoint, Bytes(64, 'd')), Handshake::Nak);
  EXPECT_EQ(Channel(1).TransmitLevel(), SerialChannel::kTransmitBufferSize);

  Host().Send(endpoint, Bytes(64, 'd'));
  machine().RunFor(300 * kMillisecond);
  Bytes expected;
  for (char c : {'a', 'b', 'c', 'd'}) expected.insert(expected.end(), 64, uint8_t(c));
  EXPECT_EQ(peer.ReceivedBytes(), expected);
}

using Overrun = AdapterTest;

TEST_F(Overrun, AHostThatDoesNotReadLosesTheNewestBytesAndIsTold) {
  ScriptedPeer peer(adapter().PortConnector(1), {115200});
  Open(1);
  Configure(1, Settings(115200));
  Responses();
  Bytes sent(300);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = uint8_t(i);
  peer.Send(sent);
  machine().RunFor(40 * kMillisecond);

  // One byte went to the endpoint as it arrived, then the buffer filled.
  const size_t kept = 1 + SerialChannel::kReceiveBufferSize;
  EXPECT_EQ(Channel(1).Stats().overruns, sent.size() - kept);
  // The first loss is reported at once; the later ones join the report still waiting.
  const Bytes overrunEvent{response::kEvent, 1, response::kLineStatusChanged, kLsrOverrun};
  EXPECT_EQ(Responses(), (std::vector<Bytes>{overrunEvent, overrunEvent}));
  EXPECT_EQ(DataBytes(1), Bytes(sent.begin(), sent.begin() + kept));
}

}  // namespace
}  // namespace adapter_model::testing
