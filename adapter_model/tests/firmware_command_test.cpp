// Command blocks on the command endpoint and what the firmware does and answers for each.
#include "adapter_model/scripted_peer.h"
#include "adapter_test_support.h"

namespace adapter_model::testing {
namespace {

using Commands = AdapterTest;

TEST_F(Commands, OpenRaisesDtrAndRtsReportsTheLinesAndIsAcknowledged) {
  ScriptedPeer peer(adapter().PortConnector(1));
  peer.SetCts(true);
  peer.SetDcd(true);
  ASSERT_EQ(Command({command::kOpen, 1}), Handshake::Ack);
  EXPECT_TRUE(Channel(1).IsOpen());
  EXPECT_TRUE(peer.PortDtr());
  EXPECT_TRUE(peer.PortRts());
  auto responses = Responses();
  ASSERT_EQ(responses.size(), 2u);
  // The lines as they are, without change bits: they were already so before the open.
  EXPECT_EQ(responses[0], (Bytes{response::kEvent, 1, response::kModemStatusChanged, kMsrCts | kMsrDcd}));
  EXPECT_EQ(responses[1], Ack(command::kOpen, 1));
}

TEST_F(Commands, CloseDropsTheLinesAndUnreadDataAndIsAcknowledged) {
  ScriptedPeer peer(adapter().PortConnector(2));
  Open(2);
  peer.Send("unread");
  machine().RunFor(10 * kMillisecond);
  ASSERT_EQ(Command({command::kClose, 2}), Handshake::Ack);
  EXPECT_FALSE(Channel(2).IsOpen());
  EXPECT_FALSE(peer.PortDtr());
  EXPECT_FALSE(peer.PortRts());
  EXPECT_EQ(Responses(), std::vector<Bytes>{Ack(command::kClose, 2)});
  EXPECT_TRUE(DataPackets(2).empty()) << "nothing of the old session reaches the host";
  peer.Send("late");
  machine().RunFor(10 * kMillisecond);
  EXPECT_TRUE(DataPackets(2).empty());
  EXPECT_EQ(Channel(2).Stats().discardedWhileClosed, 4u);
}

TEST_F(Commands, ConfigureTakesTheThirteenByteBlock) {
  // The host's initial block: 9600 baud, 8 data bits, one stop bit, no parity, no flow
  // control, and 'n' where the handshake byte goes.
  const Bytes initial{0x03, 0x01, 0x80, 0x25, 0x00, 0x00, 0x08, 0x01, 0x6E, 0x6E, 0x13, 0x11, 0x6E, 0x00};
  ASSERT_EQ(Command(initial), Handshake::Ack);
  EXPECT_EQ(Responses(), std::vector<Bytes>{Ack(command::kConfigure, 1)});
  const PortSettings& s = Channel(1).Settings();
  EXPECT_EQ(s.format, (LineFormat{9600, 8, Parity::None, StopBits::One}));
  EXPECT_FALSE(s.CtsHandshake()) << "'n' is no handshake, though 0x6E has the CTS bit";
  EXPECT_FALSE(s.RtsHandshake());
  EXPECT_FALSE(s.ObeysXoff());
  EXPECT_FALSE(s.SendsXoff());

  const Bytes sevenEvenTwo{0x03, 0x01, 0xB0, 0x04, 0x00, 0x00, 0x07, 0x02, 'e', 'b', 0x13, 0x11, 0x98, 0x00};
  ASSERT_EQ(Command(sevenEvenTwo), Handshake::Ack);
  EXPECT_EQ(Channel(1).Settings().format, (LineFormat{1200, 7, Parity::Even, StopBits::Two}));
  EXPECT_EQ(adapter().PortUart(1).Format(), (LineFormat{1200, 7, Parity::Even, StopBits::Two}));
  EXPECT_TRUE(Channel(1).Settings().RtsHandshake());
  EXPECT_TRUE(Channel(1).Settings().CtsHandshake());
  EXPECT_TRUE(Channel(1).Settings().DsrHandshake());
  EXPECT_TRUE(Channel(1).Settings().ObeysXoff());
  EXPECT_TRUE(Channel(1).Settings().SendsXoff());

  const Bytes fiveMarkHalf{0x03, 0x01, 0x32, 0x00, 0x00, 0x00, 0x05, 0x02, '1', 'n', 0x13, 0x11, 0x6E, 0x00};
  ASSERT_EQ(Command(fiveMarkHalf), Handshake::Ack);
  EXPECT_EQ(Channel(1).Settings().format, (LineFormat{50, 5, Parity::Mark, StopBits::OneAndHalf}));
  Responses();
}

TEST_F(Commands, ConfigureRoundsTheRateToTheBaudGenerator) {
  EXPECT_EQ(AchievableBaud(115200), 115200u);
  EXPECT_EQ(AchievableBaud(110), 110u);
  EXPECT_EQ(AchievableBaud(1000000), 460800u);
  EXPECT_EQ(AchievableBaud(100000), 92160u);  // divisor 5
  Configure(3, Settings(100000));
  EXPECT_EQ(adapter().PortUart(3).Format().baud, 92160u);
}

TEST_F(Commands, ConfigureWithAValueOutOfRangeKeepsTheSettingsButIsAcknowledged) {
  Configure(1, Settings(19200, 7, Parity::Odd));
  Responses();
  for (Bytes bad : {Bytes{3, 1, 0, 0, 0, 0, 8, 1, 'n', 'n', 0x13, 0x11, 'n', 0},        // baud 0
                    Bytes{3, 1, 0x80, 0x25, 0, 0, 9, 1, 'n', 'n', 0x13, 0x11, 'n', 0},   // 9 data bits
                    Bytes{3, 1, 0x80, 0x25, 0, 0, 8, 3, 'n', 'n', 0x13, 0x11, 'n', 0},   // stop code 3
                    Bytes{3, 1, 0x80, 0x25, 0, 0, 8, 1, 'x', 'n', 0x13, 0x11, 'n', 0},   // parity letter
                    Bytes{3, 1, 0x80, 0x25, 0, 0, 8, 1, 'n', 'q', 0x13, 0x11, 'n', 0}}) {  // flow letter
    ASSERT_EQ(Command(bad), Handshake::Ack);
    EXPECT_EQ(Responses(), std::vector<Bytes>{Ack(command::kConfigure, 1)});
  }
  EXPECT_EQ(Channel(1).Settings().format, (LineFormat{19200, 7, Parity::Odd, StopBits::One}));
  EXPECT_EQ(Channel(1).Stats().rejectedConfigurations, 5u);
}

TEST_F(Commands, ShortBlocksAndPortsOutOfRangeAreNeitherCarriedOutNorAnswered) {
  for (Bytes bad : {Bytes{command::kOpen}, Bytes{command::kOpen, 0}, Bytes{command::kOpen, 5},
                    Bytes{command::kSetDtr, 1}, Bytes{command::kConfigure, 1, 0x80, 0x25, 0, 0, 8, 1, 'n', 'n', 0x13, 0x11, 'n'},
                    Bytes{command::kStatus, 9}, Bytes{command::kEcho, 1}})
    ASSERT_EQ(Command(bad), Handshake::Ack);
  EXPECT_TRUE(Responses().empty());
  EXPECT_FALSE(Channel(1).IsOpen());
  EXPECT_FALSE(adapter().PortUart(1).Dtr());
  EXPECT_EQ(adapter().Firmware()->Counters().rejected, 7u);
}

TEST_F(Commands, OtherCodesAreIgnored) {
  for (uint8_t code : {0, 7, 10, 11, 12, 13, 15, 16, 0x80, 0xFF}) ASSERT_EQ(Command({code, 1, 1}), Handshake::Ack);
  ASSERT_EQ(Command({}), Handshake::Ack);
  EXPECT_TRUE(Responses().empty());
  EXPECT_EQ(adapter().Firmware()->Counters().ignored, 10u) << "an empty packet carries no block";
  EXPECT_EQ(adapter().Firmware()->Counters().executed, 0u);
}

TEST_F(Commands, ModemOutputsAndBreakFollowCommandsFourToSix) {
  ScriptedPeer peer(adapter().PortConnector(4));
  Open(4);
  peer.ClearReceived();
  ASSERT_EQ(Command({command::kSetRts, 4, 0}), Handshake::Ack);
  EXPECT_FALSE(peer.PortRts());
  ASSERT_EQ(Command({command::kSetDtr, 4, 0}), Handshake::Ack);
  EXPECT_FALSE(peer.PortDtr());
  ASSERT_EQ(Command({command::kSetRts, 4, 7}), Handshake::Ack) << "any non-zero state raises";
  EXPECT_TRUE(peer.PortRts());
  ASSERT_EQ(Command({command::kSetBreak, 4, 1}), Handshake::Ack);
  EXPECT_TRUE(peer.PortTxdSpace());
  machine().RunFor(5 * kMillisecond);
  ASSERT_EQ(Command({command::kSetBreak, 4, 0}), Handshake::Ack);
  EXPECT_FALSE(peer.PortTxdSpace());
  machine().RunFor(1 * kMillisecond);
  ASSERT_EQ(peer.Received().size(), 1u);
  EXPECT_TRUE(peer.Received()[0].breakCondition);
  EXPECT_EQ(Responses(), (std::vector<Bytes>{Ack(command::kSetRts, 4), Ack(command::kSetDtr, 4),
                                             Ack(command::kSetRts, 4), Ack(command::kSetBreak, 4),
                                             Ack(command::kSetBreak, 4)}));
}

TEST_F(Commands, PurgeEmptiesOneSide) {
  ScriptedPeer peer(adapter().PortConnector(1));
  Open(1);
  Configure(1, Settings(9600));
  peer.Send(Bytes(100, 'r'));
  machine().RunFor(120 * kMillisecond);
  ASSERT_EQ(Channel(1).ReceiveLevel(), 99u) << "one byte already waits at the endpoint";
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(1), Bytes(64, 't')), Handshake::Ack);
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(1), Bytes(64, 't')), Handshake::Ack);
  ASSERT_GT(Channel(1).TransmitLevel(), 100u);

  ASSERT_EQ(Command({command::kPurge, 1, command::kPurgeReceive}), Handshake::Ack);
  EXPECT_EQ(Channel(1).ReceiveLevel(), 0u);
  EXPECT_TRUE(DataPackets(1).empty());
  EXPECT_GT(Channel(1).TransmitLevel(), 100u) << "the transmit side is left alone";

  ASSERT_EQ(Command({command::kPurge, 1, command::kPurgeTransmit}), Handshake::Ack);
  EXPECT_EQ(Channel(1).TransmitLevel(), 0u);
  machine().RunFor(10 * kMillisecond);
  EXPECT_LE(peer.Received().size(), 2u) << "only what was on the wire still goes out";

  ASSERT_EQ(Command({command::kPurge, 1, 3}), Handshake::Ack) << "an unknown side purges nothing";
  EXPECT_EQ(Responses(), (std::vector<Bytes>{Ack(command::kConfigure, 1), Ack(command::kPurge, 1),
                                             Ack(command::kPurge, 1), Ack(command::kPurge, 1)}));
}

TEST_F(Commands, StatusRequestGetsAStatusReplyAlsoForAClosedPort) {
  ScriptedPeer peer(adapter().PortConnector(3));
  peer.SetDsr(true);
  ASSERT_EQ(Command({command::kStatus, 3}), Handshake::Ack);
  auto responses = Responses();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0], (Bytes{response::kStatus, 3, 0x03, kMsrDeltaDsr | kMsrDsr,
                                 kLsrTransmitHoldingEmpty | kLsrTransmitterEmpty, 0, 0}));
  ASSERT_EQ(Command({command::kStatus, 3}), Handshake::Ack);
  EXPECT_EQ(Responses()[0][3], kMsrDsr) << "changes are reported once";
}

TEST_F(Commands, StatusReplyShowsErrorsAndBufferLevels) {
  ScriptedPeer peer(adapter().PortConnector(1), {9600, 8, Parity::Even});
  Open(1);
  Configure(1, Settings(9600, 8, Parity::Even));
  peer.Send("ab");
  peer.SendWithParityError('c');
  machine().RunFor(5 * kMillisecond);
  ASSERT_EQ(Command({command::kStatus, 1}), Handshake::Ack);
  auto responses = Responses();
  ASSERT_GE(responses.size(), 3u);
  const Bytes& reply = responses.back();
  ASSERT_EQ(reply[0], response::kStatus);
  EXPECT_EQ(reply[4] & (kLsrParity | kLsrDataReady), kLsrParity | kLsrDataReady);
  EXPECT_EQ(reply[5], 2) << "'a' waits at the endpoint, 'b' and 'c' in the buffer";
}

TEST_F(Commands, AnswersComeInCommandOrderAcrossPorts) {
  for (uint8_t port : {3, 1, 4, 2}) ASSERT_EQ(Command({command::kSetDtr, port, 1}), Handshake::Ack);
  ASSERT_EQ(Command({command::kStatus, 2}), Handshake::Ack);
  auto responses = Responses();
  ASSERT_EQ(responses.size(), 5u);
  EXPECT_EQ(responses[0], Ack(command::kSetDtr, 3));
  EXPECT_EQ(responses[1], Ack(command::kSetDtr, 1));
  EXPECT_EQ(responses[2], Ack(command::kSetDtr, 4));
  EXPECT_EQ(responses[3], Ack(command::kSetDtr, 2));
  EXPECT_EQ(responses[4][0], response::kStatus);
}

TEST_F(Commands, ResponsesBeyondTheQueueAreDropped) {
  for (int i = 0; i < 40; ++i) ASSERT_EQ(Command({command::kSetDtr, 1, uint8_t(i % 2 == 0)}), Handshake::Ack);
  // One block waits in the endpoint buffer, the queue holds the next ones.
  EXPECT_EQ(Responses().size(), 1 + MainFirmware::kResponseQueueDepth);
  EXPECT_EQ(adapter().Firmware()->Counters().responsesDropped, 40 - 1 - MainFirmware::kResponseQueueDepth);
  EXPECT_FALSE(adapter().PortUart(1).Dtr()) << "every command was still carried out";
}

using Echo = AdapterTest;

Bytes EchoBlock(uint8_t port) {
  Bytes block{command::kEcho, port, 4, 'B', 'O', 'N', 'G'};
  block.resize(64, 0xEE);
  return block;
}

TEST_F(Echo, ComesBackAloneAfterTheDataAlreadyQueued) {
  ScriptedPeer peer(adapter().PortConnector(2), {115200});
  Open(2);
  Configure(2, Settings(115200));
  Responses();
  peer.Send(Bytes(100, 'd'));
  machine().RunFor(10 * kMillisecond);
  ASSERT_EQ(Command(EchoBlock(2)), Handshake::Ack);
  EXPECT_TRUE(Responses().empty()) << "the echo is no command-complete";
  peer.Send("after");
  machine().RunFor(2 * kMillisecond);
  auto packets = DataPackets(2);
  ASSERT_EQ(packets.size(), 5u);
  EXPECT_EQ(packets[0], Bytes(1, 'd')) << "armed as soon as the first byte came";
  EXPECT_EQ(packets[1], Bytes(64, 'd'));
  EXPECT_EQ(packets[2], Bytes(35, 'd'));
  EXPECT_EQ(packets[3], ToBytes("BONG"));
  EXPECT_EQ(packets[4], ToBytes("after")) << "what came in later follows the echo";
}

TEST_F(Echo, AfterCloseIsTheOnlyPacket) {
  ScriptedPeer peer(adapter().PortConnector(1));
  Open(1);
  peer.Send("xyz");
  machine().RunFor(10 * kMillisecond);
  ASSERT_EQ(Command({command::kClose, 1}), Handshake::Ack);
  ASSERT_EQ(Command(EchoBlock(1)), Handshake::Ack);
  EXPECT_EQ(DataPackets(1), std::vector<Bytes>{ToBytes("BONG")});
}

TEST_F(Echo, LengthByteDecidesHowMuchComesBack) {
  ASSERT_EQ(Command({command::kEcho, 3, 0}), Handshake::Ack);
  EXPECT_TRUE(DataPackets(3).empty()) << "nothing to echo";
  ASSERT_EQ(Command({command::kEcho, 3, 10, 'a', 'b'}), Handshake::Ack);
  EXPECT_EQ(DataPackets(3), std::vector<Bytes>{ToBytes("ab")}) << "no more than the block holds";
  ASSERT_EQ(Command({command::kEcho, 3, 1, 'q', 'r'}), Handshake::Ack);
  EXPECT_EQ(DataPackets(3), std::vector<Bytes>{ToBytes("q")});
}

TEST_F(Echo, SurvivesAPurgeOfTheReceiveSide) {
  ScriptedPeer peer(adapter().PortConnector(4));
  Open(4);
  peer.Send("data");
  machine().RunFor(10 * kMillisecond);
  ASSERT_EQ(Command(EchoBlock(4)), Handshake::Ack);
  ASSERT_EQ(Command({command::kPurge, 4, command::kPurgeReceive}), Handshake::Ack);
  EXPECT_EQ(DataPackets(4), std::vector<Bytes>{ToBytes("BONG")});
}

}  // namespace
}  // namespace adapter_model::testing
