// The command channel of an adapter whose device has left the bus while the driver still has it:
// the bus driver refuses every new transfer and completes it inside IoCallDriver, so each
// completion routine runs before the submitter's call returns.
#include "command_test_support.h"
#include "simkernel/pnp.h"

namespace command_test {
namespace {

class CommandUnplugged : public CommandChannelTest {
 protected:
  // The device goes; the read still posted fails from the host controller.
  void Unplug() {
    model().Unplug();
    h().Advance(10 * kMillisecond);
  }
  size_t UrbsOn(PVOID pipe, USHORT function) {
    size_t count = 0;
    for (const auto& urb : fixture().Urbs())
      if (urb.pipe == pipe && urb.function == function) ++count;
    return count;
  }
};

// The port is open through the I/O manager, so its handle keeps the stack until it is closed:
// the plug-and-play manager's surprise removal comes at the hub's next poll, inside the first
// command's wait, and the removal only after the close.
TEST_F(CommandUnplugged, ACommandRefusedInsideTheCallLeavesNoTransferBehindAndStillReturnsAfterItsWait) {
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(sim::io::OpenDevice(port(1)->Self, &file), STATUS_SUCCESS);
  Unplug();
  ASSERT_EQ(adapter()->ResponseIrp, nullptr) << "the posted read failed and was released";
  ASSERT_TRUE(adapter()->ResponseResetNeeded);
  const size_t commands = UrbsOn(fixture().CommandPipe(), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);

  Issued issued = Issue(COMMAND_SET_DTR, {1, 1});
  EXPECT_EQ(issued.status, STATUS_SUCCESS);
  EXPECT_EQ(issued.finished, WaitEnd(issued.started, 1 * kSecond)) << "nobody answers a device that is gone";
  // Each submission was completed inside its own call; a request recorded after the call
  // would be left here, freed, for the stop to cancel.
  EXPECT_EQ(adapter()->CommandIrp, nullptr);
  EXPECT_EQ(adapter()->ResponseIrp, nullptr);
  EXPECT_EQ(adapter()->CurrentCommand, nullptr);
  EXPECT_EQ(UrbsOn(fixture().CommandPipe(), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), commands + 1);
  auto sent = fixture().Urbs(fixture().CommandPipe());
  ASSERT_FALSE(sent.empty());
  EXPECT_TRUE(sent.back().completed);
  EXPECT_EQ(sent.back().status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR11), 0u) << "the refused message was freed";

  // Surprise-removed meanwhile: later commands for the port are dropped, nothing piles up.
  ASSERT_EQ(port(1)->DevicePnpState, SurpriseRemoved);
  for (UCHAR state : {0, 1}) {
    Issued again = Issue(COMMAND_SET_RTS, {1, state});
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(again.Took(), 0) << "a dropped command is not waited for";
    EXPECT_EQ(adapter()->CommandIrp, nullptr);
    EXPECT_EQ(adapter()->ResponseIrp, nullptr);
  }
  EXPECT_EQ(UrbsOn(fixture().CommandPipe(), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), commands + 1);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR11), 0u);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR35), 0u) << "the command pipe resets were released";
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR38), 0u) << "the response pipe resets were released";

  // The close sends nothing, and the removal that follows finds nothing in flight.
  const sim::VirtualTime start = Now();
  ASSERT_EQ(sim::io::Close(file), STATUS_SUCCESS);
  sim::pnp::WaitIdle();
  EXPECT_EQ(Now(), start);
  EXPECT_EQ(adapter(), nullptr) << "removed once the handle closed";
}

TEST_F(CommandUnplugged, AResponseReadRefusedInsideTheCallReportsTheBusStatusAndIsNotRecorded) {
  Unplug();
  NTSTATUS status = STATUS_PENDING;
  h().RunTask("first open", [&] { status = ResponseReadStart(adapter()); });
  EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(adapter()->ResponseIrp, nullptr);
  EXPECT_TRUE(adapter()->ResponseResetNeeded) << "the next command tries again";
  // A second start is a new read, not "one is already posted".
  h().RunTask("second open", [&] { status = ResponseReadStart(adapter()); });
  EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(UrbsOn(fixture().ResponsePipe(), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 2u);
}

// The device goes while commands queue behind one in flight: the one in flight fails from the
// host controller, the queued ones stay for the removal.
TEST_F(CommandUnplugged, CommandsQueuedWhenTheDeviceGoesAreReleasedByTheRemoval) {
  OpenPort(1);
  OpenPort(2);
  h().RunTask("issuer", [&] {
    for (UCHAR n : {1, 2, 1, 2}) CommandIssue(adapter(), COMMAND_ECHO, EchoPayload(n).data(), ECHO_PAYLOAD_LENGTH);
  });
  ASSERT_EQ(fixture().InFlight(fixture().CommandPipe()), 1u);
  model().Unplug();
  h().Advance(50 * kMillisecond);
  EXPECT_EQ(adapter()->CommandIrp, nullptr);
  EXPECT_EQ(adapter()->CurrentCommand, nullptr);
  EXPECT_TRUE(adapter()->CommandRestartNeeded);
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR11), 3u) << "the queue keeps what was not sent";
  fixture().StopAndRemove();
  EXPECT_EQ(sim::pool::OutstandingCount(TAG_BR11), 0u);
}

}  // namespace
}  // namespace command_test
