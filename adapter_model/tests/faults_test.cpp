// Faults a test switches on: answers lost, withheld or late, packets failing, cut short or
// halting an endpoint, and the adapter unplugged at a chosen moment.
#include "adapter_model/scripted_peer.h"
#include "adapter_test_support.h"

namespace adapter_model::testing {
namespace {

using CommandFaults = AdapterTest;

TEST_F(CommandFaults, WithheldAnswerStillCarriesTheCommandOut) {
  adapter().FaultPlan().WithholdAnswers(command::kSetDtr, Faults::kAny, 1);
  ASSERT_EQ(Command({command::kSetDtr, 2, 1}), Handshake::Ack);
  EXPECT_TRUE(adapter().PortUart(2).Dtr());
  EXPECT_TRUE(Responses().empty());
  ASSERT_EQ(Command({command::kSetDtr, 2, 0}), Handshake::Ack);
  EXPECT_EQ(Responses(), std::vector<Bytes>{Ack(command::kSetDtr, 2)}) << "the rule was for one command";
}

TEST_F(CommandFaults, LostCommandIsNeitherCarriedOutNorAnswered) {
  adapter().FaultPlan().LoseCommands(command::kOpen, 3);
  ASSERT_EQ(Command({command::kOpen, 3}), Handshake::Ack);
  ASSERT_EQ(Command({command::kOpen, 3}), Handshake::Ack);
  EXPECT_FALSE(Channel(3).IsOpen());
  EXPECT_TRUE(Responses().empty());
  ASSERT_EQ(Command({command::kOpen, 1}), Handshake::Ack) << "another port is not affected";
  EXPECT_TRUE(Channel(1).IsOpen());
  EXPECT_EQ(adapter().Firmware()->Counters().lost, 2u);
}

TEST_F(CommandFaults, LateAnswerArrivesAfterTheDelay) {
  adapter().FaultPlan().DelayAnswers(1500 * kMillisecond, command::kConfigure);
  Configure(1, Settings(19200));
  EXPECT_EQ(adapter().PortUart(1).Format().baud, 19200u) << "carried out at once";
  machine().RunFor(1499 * kMillisecond);
  EXPECT_TRUE(Responses().empty());
  ASSERT_EQ(Command({command::kSetRts, 1, 1}), Handshake::Ack);
  EXPECT_EQ(Responses(), std::vector<Bytes>{Ack(command::kSetRts, 1)}) << "later commands are not held up";
  machine().RunFor(1 * kMillisecond);
  EXPECT_EQ(Responses(), std::vector<Bytes>{Ack(command::kConfigure, 1)});
}

TEST_F(CommandFaults, StatusReplyAndEchoCanBeWithheldToo) {
  adapter().FaultPlan().WithholdAnswers(command::kStatus);
  adapter().FaultPlan().WithholdAnswers(command::kEcho);
  ASSERT_EQ(Command({command::kStatus, 1}), Handshake::Ack);
  ASSERT_EQ(Command({command::kEcho, 1, 4, 'B', 'O', 'N', 'G'}), Handshake::Ack);
  EXPECT_TRUE(Responses().empty());
  EXPECT_TRUE(DataPackets(1).empty());
}

TEST_F(CommandFaults, LateEchoFollowsTheDataThatCameMeanwhile) {
  ScriptedPeer peer(adapter().PortConnector(2));
  Open(2);
  adapter().FaultPlan().DelayAnswers(20 * kMillisecond, command::kEcho);
  ASSERT_EQ(Command({command::kEcho, 2, 4, 'B', 'O', 'N', 'G'}), Handshake::Ack);
  peer.Send("ab");
  Host().Poll(DataInEndpoint(2));
  machine().RunFor(30 * kMillisecond);
  const auto& packets = Host().Received(DataInEndpoint(2));
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets.back().bytes, ToBytes("BONG"));
  EXPECT_EQ(Host().ReceivedBytes(DataInEndpoint(2)), ToBytes("abBONG"));
}

using TransferFaults = AdapterTest;

TEST_F(TransferFaults, AFailedPacketLosesNothingAndTheNextWorks) {
  ASSERT_EQ(Command({command::kStatus, 4}), Handshake::Ack);
  adapter().FaultPlan().FailPackets(kResponseEndpoint, 2);
  Bytes packet;
  EXPECT_EQ(Device().BulkIn(kResponseEndpoint, 64, packet), Handshake::Stall);
  EXPECT_EQ(Device().BulkIn(kResponseEndpoint, 64, packet), Handshake::Stall);
  EXPECT_FALSE(adapter().Controller().Halted(kResponseEndpoint));
  ASSERT_EQ(Device().BulkIn(kResponseEndpoint, 64, packet), Handshake::Ack);
  EXPECT_EQ(packet[0], response::kStatus);

  adapter().FaultPlan().FailPackets(kCommandEndpoint);
  EXPECT_EQ(Command({command::kSetDtr, 4, 1}), Handshake::Stall);
  EXPECT_FALSE(adapter().PortUart(4).Dtr()) << "a failed command packet is not taken";
  EXPECT_EQ(Command({command::kSetDtr, 4, 1}), Handshake::Ack);
  EXPECT_TRUE(adapter().PortUart(4).Dtr());
}

TEST_F(TransferFaults, AShortResponseLosesTheRestOfItsBlock) {
  adapter().FaultPlan().ShortenPackets(kResponseEndpoint, 2, 1, /*dropRest=*/true);
  ASSERT_EQ(Command({command::kSetRts, 3, 1}), Handshake::Ack);
  ASSERT_EQ(Command({command::kSetRts, 3, 0}), Handshake::Ack);
  EXPECT_EQ(Responses(), (std::vector<Bytes>{{response::kCommandDone, command::kSetRts}, Ack(command::kSetRts, 3)}));
}

TEST_F(TransferFaults, AShortDataPacketKeepsTheRestForTheNext) {
  ScriptedPeer peer(adapter().PortConnector(1), {115200});
  Open(1);
  Configure(1, Settings(115200));
  peer.Send("0123456789");
  machine().RunFor(2 * kMillisecond);
  EXPECT_EQ(In(DataInEndpoint(1)), ToBytes("0")) << "armed as the first byte came";
  adapter().FaultPlan().ShortenPackets(DataInEndpoint(1), 4, 2);
  auto packets = DataPackets(1);
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0], ToBytes("1234"));
  EXPECT_EQ(packets[1], ToBytes("5678"));
  EXPECT_EQ(packets[2], ToBytes("9"));
}

TEST_F(TransferFaults, AnEndpointHaltsAfterSomeGoodPacketsUntilReset) {
  ScriptedPeer peer(adapter().PortConnector(2));
  Open(2);
  adapter().FaultPlan().HaltEndpointAfter(DataOutEndpoint(2), 1);
  EXPECT_EQ(Device().BulkOut(DataOutEndpoint(2), ToBytes("one")), Handshake::Ack);
  EXPECT_EQ(Device().BulkOut(DataOutEndpoint(2), ToBytes("two")), Handshake::Stall);
  EXPECT_EQ(Device().BulkOut(DataOutEndpoint(2), ToBytes("two")), Handshake::Stall);
  EXPECT_TRUE(adapter().Controller().Halted(DataOutEndpoint(2)));
  Device().ResetEndpoint(DataOutEndpoint(2));
  EXPECT_EQ(Device().BulkOut(DataOutEndpoint(2), ToBytes("two")), Handshake::Ack);
  machine().RunFor(10 * kMillisecond);
  EXPECT_EQ(peer.ReceivedText(), "onetwo");
}

using UnplugFaults = AdapterTest;

TEST_F(UnplugFaults, UnplugAtAChosenTime) {
  ScriptedPeer peer(adapter().PortConnector(1));
  Open(1);
  ASSERT_EQ(Device().BulkOut(DataOutEndpoint(1), Bytes(20, 'u')), Handshake::Ack);
  const VirtualTime when = machine().Now() + 5 * kMillisecond;
  adapter().FaultPlan().UnplugAt(when);
  machine().RunFor(30 * kMillisecond);
  ASSERT_EQ(port_.log.back(), std::make_pair(when, std::string("detach")));
  EXPECT_FALSE(adapter().Controller().Powered());
  EXPECT_FALSE(peer.PortDtr());
  EXPECT_EQ(peer.Received().size(), 5u) << "the character under way when power went still ends";
}

TEST_F(UnplugFaults, UnplugRightAfterAChosenPacket) {
  adapter().FaultPlan().UnplugAfterPackets(kCommandEndpoint, 2);
  ASSERT_EQ(Command({command::kSetDtr, 1, 1}), Handshake::Ack);
  ASSERT_EQ(Command({command::kSetDtr, 2, 1}), Handshake::Ack);
  EXPECT_TRUE(adapter().Controller().Attached()) << "the packet itself completes";
  machine().RunFor(1);
  EXPECT_FALSE(adapter().Controller().Attached());
  EXPECT_EQ(port_.log.back().second, "detach");
  EXPECT_EQ(Command({command::kSetDtr, 3, 1}), Handshake::Stall);
}

TEST_F(UnplugFaults, ClearTakesEveryFaultAway) {
  adapter().FaultPlan().LoseCommands();
  adapter().FaultPlan().FailPackets(kResponseEndpoint, Faults::kForever);
  adapter().FaultPlan().UnplugAt(machine().Now() + kMillisecond);
  adapter().FaultPlan().Clear();
  ASSERT_EQ(Command({command::kSetDtr, 1, 1}), Handshake::Ack);
  EXPECT_EQ(Responses(), std::vector<Bytes>{Ack(command::kSetDtr, 1)});
  machine().RunFor(5 * kMillisecond);
  EXPECT_TRUE(adapter().Controller().Attached());
}

}  // namespace
}  // namespace adapter_model::testing
