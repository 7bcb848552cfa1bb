// Characters on the wire: each takes its real time at the configured rate and format, and
// the receiving side samples them as a UART does.
#include "adapter_model/scripted_peer.h"
#include "adapter_test_support.h"

namespace adapter_model::testing {
namespace {

struct FormatCase {
  LineFormat format;
  double frameMicroseconds;
};

class CharacterTiming : public AdapterTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(CharacterTiming, EachCharacterTakesItsBitsAtTheRate) {
  const FormatCase& c = GetParam();
  ScriptedPeer peer(adapter().PortConnector(1), c.format);
  Open(1);
  Configure(1, Settings(c.format.baud, c.format.dataBits, c.format.parity, c.format.stopBits));
  const Bytes sent{0x00, 0xFF, 0x55, 0xAA, 0x0F, 0xF0, 0x13, 0x11};
  const VirtualTime t0 = machine().Now();
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(1), sent), Handshake::Ack);
  machine().RunFor(VirtualTime(c.frameMicroseconds * 10 * (sent.size() + 1)));

  const auto& frames = peer.Received();
  ASSERT_EQ(frames.size(), sent.size());
  const double frame = c.frameMicroseconds * 10;  // in 100 ns
  EXPECT_EQ(frames[0].start, t0) << "the first character starts as the packet arrives";
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("character " + std::to_string(i));
    EXPECT_EQ(frames[i].value, sent[i] & ((1u << c.format.dataBits) - 1));
    EXPECT_FALSE(frames[i].parityError || frames[i].framingError || frames[i].breakCondition);
    EXPECT_NEAR(double(frames[i].start - t0), frame * double(i), 1.0 + double(i)) << "back to back";
  }
  EXPECT_EQ(Channel(1).Stats().transmitted, sent.size());
  EXPECT_EQ(adapter().PortUart(1).CharactersSent(), sent.size());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CharacterTiming,
    ::testing::Values(FormatCase{{9600, 8, Parity::None, StopBits::One}, 1e6 * 10 / 9600},
                      FormatCase{{1200, 7, Parity::Even, StopBits::Two}, 1e6 * 11 / 1200},
                      FormatCase{{50, 5, Parity::Mark, StopBits::OneAndHalf}, 1e6 * 8.5 / 50},
                      FormatCase{{115200, 8, Parity::Odd, StopBits::One}, 1e6 * 11 / 115200},
                      FormatCase{{460800, 8, Parity::None, StopBits::One}, 1e6 * 10 / 460800},
                      FormatCase{{300, 6, Parity::Space, StopBits::One}, 1e6 * 9 / 300}));

using WireTiming = AdapterTest;

TEST_F(WireTiming, TenBytesEightNoneOneAt9600TakeTenPointFourMilliseconds) {
  ScriptedPeer peer(adapter().PortConnector(2));
  Open(2);
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(2), ToBytes("0123456789")), Handshake::Ack);
  machine().RunFor(20 * kMillisecond);
  ASSERT_EQ(peer.ReceivedText(), "0123456789");
  const VirtualTime span = peer.Received().back().end - peer.Received().front().start;
  EXPECT_NEAR(double(span), 104167.0, 10.0);
}

TEST_F(WireTiming, AReceivedCharacterReachesTheHostAtTheMiddleOfItsStopBit) {
  ScriptedPeer peer(adapter().PortConnector(1), {2400});
  Open(1);
  Configure(1, Settings(2400));
  const VirtualTime t0 = machine().Now();
  peer.Send("A");
  const VirtualTime arrival = t0 + LineFormat{2400}.HalfBitOffset(19);
  machine().RunFor(arrival - t0 - 1);
  EXPECT_TRUE(DataPackets(1).empty());
  machine().RunFor(1);
  EXPECT_EQ(DataPackets(1), std::vector<Bytes>{ToBytes("A")});
}

TEST_F(WireTiming, AReceiverAtAnotherRateSeesGarbageAndFramingErrors) {
  ScriptedPeer peer(adapter().PortConnector(3), {9600});
  Open(3);
  Configure(3, Settings(19200));
  Responses();
  peer.Send(Bytes(20, 0x55));
  machine().RunFor(30 * kMillisecond);
  EXPECT_GT(Channel(3).Stats().framingErrors, 0u);
  bool framingEvent = false;
  for (const auto& block : Responses())
    framingEvent |= block[0] == response::kEvent && block[2] == response::kLineStatusChanged && (block[3] & kLsrFraming);
  EXPECT_TRUE(framingEvent);
  EXPECT_NE(DataBytes(3), Bytes(20, 0x55));
}

TEST_F(WireTiming, ParityFramingAndBreakAreReportedAsLineStatus) {
  ScriptedPeer peer(adapter().PortConnector(1), {9600, 8, Parity::Even});
  Open(1);
  Configure(1, Settings(9600, 8, Parity::Even));
  Responses();
  Host().Poll(kResponseEndpoint);
  Host().Poll(DataInEndpoint(1));
  peer.Send("a");
  peer.SendWithParityError('b');
  peer.Pause(5 * kMillisecond);
  peer.SendWithFramingError('c');
  peer.Pause(5 * kMillisecond);
  peer.SendBreak(20 * kMillisecond);
  peer.Send("d");
  machine().RunFor(60 * kMillisecond);

  std::vector<Bytes> events;
  for (const auto& packet : Host().Received(kResponseEndpoint)) events.push_back(packet.bytes);
  EXPECT_EQ(events, (std::vector<Bytes>{{response::kEvent, 1, response::kLineStatusChanged, kLsrParity},
                                        {response::kEvent, 1, response::kLineStatusChanged, kLsrFraming},
                                        {response::kEvent, 1, response::kLineStatusChanged, kLsrBreak}}));
  EXPECT_EQ(Host().ReceivedBytes(DataInEndpoint(1)), ToBytes("abcd")) << "flawed characters still arrive, a break does not";
  EXPECT_EQ(Channel(1).Stats().parityErrors, 1u);
  EXPECT_EQ(Channel(1).Stats().framingErrors, 1u);
  EXPECT_EQ(Channel(1).Stats().breaks, 1u);
}

TEST_F(WireTiming, BreakWaitsForTheCharacterOnTheWireAndHoldsTheRest) {
  ScriptedPeer peer(adapter().PortConnector(2));
  Open(2);
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(2), ToBytes("xyz")), Handshake::Ack);
  const VirtualTime t0 = machine().Now();
  ASSERT_EQ(Command({command::kSetBreak, 2, 1}), Handshake::Ack);
  machine().RunFor(10 * kMillisecond);
  EXPECT_TRUE(peer.PortTxdSpace());
  ASSERT_EQ(Command({command::kSetBreak, 2, 0}), Handshake::Ack);
  machine().RunFor(10 * kMillisecond);
  const auto& frames = peer.Received();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].value, 'x');
  EXPECT_TRUE(frames[1].breakCondition);
  EXPECT_EQ(frames[1].start, t0 + LineFormat{}.FrameTime()) << "the break starts when 'x' has ended";
  EXPECT_EQ(frames[2].value, 'y');
  EXPECT_EQ(frames[3].value, 'z');
  EXPECT_GE(frames[2].start, t0 + 10 * kMillisecond + LineFormat{}.BitTime()) << "a bit of mark after the break";
}

}  // namespace
}  // namespace adapter_model::testing
