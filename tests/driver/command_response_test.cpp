// Response blocks: status replies, command completes, modem and line events, and what they
// do to the port records and to a waiting wait-on-mask request.
#include <array>
#include <cstring>

#include "command_test_support.h"

namespace command_test {
namespace {

using adapter_model::LineFormat;
using adapter_model::Parity;
using adapter_model::ScriptedPeer;

class ResponseDecoding : public CommandChannelTest {
 protected:
  // Injected blocks reach the driver through the bus like the firmware's own.
  void Inject(Bytes block) {
    fixture().injector().Inject(std::move(block));
    h().Advance(10 * kMillisecond);
  }

  struct PortView {
    std::array<UCHAR, 6> status;
    bool statusEvent, doneEvent;
    ULONG errors, history;
    ULONG parity, framing, overrun;
    bool operator==(const PortView&) const = default;
  };
  PortView View(int number) {
    PortExtension* p = port(number);
    PortView view;
    std::memcpy(view.status.data(), &p->Status, 6);
    view.statusEvent = Signalled(p->StatusEvent);
    view.doneEvent = Signalled(p->CommandDoneEvent);
    view.errors = p->ErrorFlags;
    view.history = p->EventHistory;
    view.parity = p->PerfStats.ParityErrorCount;
    view.framing = p->PerfStats.FrameErrorCount;
    view.overrun = p->PerfStats.SerialOverrunErrorCount;
    return view;
  }
};

TEST_F(ResponseDecoding, StatusReplyOfAnOpenPortIsCopiedAndSignalled) {
  ScriptedPeer peer(model().PortConnector(2));
  OpenPort(2);
  peer.SetDsr(true);
  peer.SetDcd(true);
  h().Advance(10 * kMillisecond);
  ASSERT_EQ(Issue(COMMAND_GET_STATUS, {2}).status, STATUS_SUCCESS);
  EXPECT_TRUE(Signalled(port(2)->StatusEvent));
  EXPECT_EQ(port(2)->Status.PortNumber, 2);
  EXPECT_EQ(port(2)->Status.EventFlags, 0x03);
  EXPECT_EQ(port(2)->Status.ModemStatus & (SERIAL_MSR_DSR | SERIAL_MSR_DCD), SERIAL_MSR_DSR | SERIAL_MSR_DCD);
  EXPECT_EQ(port(2)->Status.LineStatus & SERIAL_LSR_THRE, SERIAL_LSR_THRE);
}

TEST_F(ResponseDecoding, StatusReplyOfAClosedPortOnlySignals) {
  OpenPort(1);
  const PortView before = View(3);
  Inject({RESPONSE_STATUS_REPLY, 3, 0x03, 0xF0, 0x60, 1, 2});
  PortView after = View(3);
  EXPECT_TRUE(after.statusEvent);
  after.statusEvent = before.statusEvent;
  EXPECT_EQ(after, before) << "nothing else changed";
}

TEST_F(ResponseDecoding, CommandCompleteSignalsThePortInByteTwo) {
  OpenPort(1);
  Inject({RESPONSE_COMMAND_COMPLETE, 2, 3});
  EXPECT_TRUE(Signalled(port(3)->CommandDoneEvent));
  EXPECT_FALSE(Signalled(port(2)->CommandDoneEvent)) << "byte 1 is not the port";
}

TEST_F(ResponseDecoding, ModemEventUpdatesTheStatusAndTheWaitersHistory) {
  ScriptedPeer peer(model().PortConnector(2));
  OpenPort(2);
  SetWaitMask(2, SERIAL_EV_CTS | SERIAL_EV_RLSD);
  peer.SetCts(true);
  h().Advance(10 * kMillisecond);
  EXPECT_EQ(port(2)->Status.EventFlags, EVENT_MODEM_STATUS);
  EXPECT_EQ(port(2)->Status.ModemStatus, SERIAL_MSR_DCTS | SERIAL_MSR_CTS) << "the 0D 02 01 11 example";
  EXPECT_EQ(port(2)->EventHistory, ULONG(SERIAL_EV_CTS));
  peer.SetDsr(true);  // not asked for
  h().Advance(10 * kMillisecond);
  EXPECT_EQ(port(2)->EventHistory, ULONG(SERIAL_EV_CTS));
  peer.SetDcd(true);
  h().Advance(10 * kMillisecond);
  EXPECT_EQ(port(2)->EventHistory, ULONG(SERIAL_EV_CTS | SERIAL_EV_RLSD));
}

TEST_F(ResponseDecoding, ModemEventWithoutAMaskOnlyUpdatesTheStatus) {
  ScriptedPeer peer(model().PortConnector(1));
  OpenPort(1);
  peer.SetRing(true);
  peer.SetRing(false);
  h().Advance(10 * kMillisecond);
  EXPECT_EQ(port(1)->Status.ModemStatus & SERIAL_MSR_TERI, SERIAL_MSR_TERI);
  EXPECT_EQ(port(1)->EventHistory, 0u);
}

TEST_F(ResponseDecoding, EachModemChangeBitBecomesItsEvent) {
  OpenPort(1);
  SetWaitMask(1, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RING | SERIAL_EV_RLSD | SERIAL_EV_EVENT1);
  const std::pair<UCHAR, ULONG> cases[] = {{SERIAL_MSR_DCTS, SERIAL_EV_CTS},
                                           {SERIAL_MSR_DDSR, SERIAL_EV_DSR},
                                           {SERIAL_MSR_TERI, SERIAL_EV_RING},
                                           {SERIAL_MSR_DDCD, SERIAL_EV_RLSD},
                                           {0xF0, 0}};
  for (auto [bit, event] : cases) {
    port(1)->EventHistory = 0;
    Inject({RESPONSE_EVENT, 1, EVENT_MODEM_STATUS, bit});
    EXPECT_EQ(port(1)->EventHistory, event) << int(bit);
  }
}

TEST_F(ResponseDecoding, LineErrorsFromTheWireCountAndFlag) {
  ScriptedPeer peer(model().PortConnector(1), LineFormat{9600, 8, Parity::Even});
  OpenPort(1);
  PortConfigBlock config = port(1)->Config;
  config.Parity = 'e';
  ASSERT_EQ(Issue(COMMAND_SET_CONFIGURATION, Bytes((uint8_t*)&config, (uint8_t*)&config + 13)).status,
            STATUS_SUCCESS);
  SetWaitMask(1, SERIAL_EV_ERR);
  peer.SendWithParityError('a');
  h().Advance(20 * kMillisecond);
  EXPECT_EQ(port(1)->Status.LineStatus, SERIAL_LSR_PE) << "the 0D 01 02 04 example";
  EXPECT_EQ(port(1)->PerfStats.ParityErrorCount, 1u);
  EXPECT_EQ(port(1)->WmiPerfData.ParityErrorCount, 1u);
  EXPECT_EQ(port(1)->ErrorFlags, ULONG(SERIAL_ERROR_PARITY));
  EXPECT_EQ(port(1)->EventHistory, ULONG(SERIAL_EV_ERR));

  peer.SendWithFramingError('b');
  h().Advance(20 * kMillisecond);
  EXPECT_EQ(port(1)->PerfStats.FrameErrorCount, 1u);
  EXPECT_EQ(port(1)->WmiPerfData.FrameErrorCount, 1u);
  EXPECT_EQ(port(1)->ErrorFlags, ULONG(SERIAL_ERROR_PARITY | SERIAL_ERROR_FRAMING));

  port(1)->ErrorFlags = 0;
  SetWaitMask(1, SERIAL_EV_BREAK);
  peer.SendBreak(20 * kMillisecond);
  h().Advance(60 * kMillisecond);
  EXPECT_EQ(port(1)->ErrorFlags & SERIAL_ERROR_BREAK, ULONG(SERIAL_ERROR_BREAK));
  EXPECT_EQ(port(1)->EventHistory, ULONG(SERIAL_EV_BREAK));
}

TEST_F(ResponseDecoding, BreakWithParityIsABreakOnlyButAWaiterHearsBoth) {
  OpenPort(1);
  SetWaitMask(1, SERIAL_EV_ERR | SERIAL_EV_BREAK);
  ArmedWait wait;
  ArmWait(1, wait);
  Inject({RESPONSE_EVENT, 1, EVENT_LINE_STATUS, SERIAL_LSR_PE | SERIAL_LSR_BI});
  EXPECT_EQ(port(1)->ErrorFlags, ULONG(SERIAL_ERROR_BREAK));
  EXPECT_EQ(port(1)->PerfStats.ParityErrorCount, 0u);
  ASSERT_TRUE(wait.completed);
  EXPECT_EQ(wait.status, STATUS_SUCCESS);
  EXPECT_EQ(wait.information, sizeof(ULONG));
  EXPECT_EQ(wait.result, ULONG(SERIAL_EV_ERR | SERIAL_EV_BREAK));
  EndWait(wait);
}

TEST_F(ResponseDecoding, OverrunCountsInBothRecordsAndFifoErrorAloneDoesNothing) {
  OpenPort(2);
  Inject({RESPONSE_EVENT, 2, EVENT_LINE_STATUS, SERIAL_LSR_OE});
  EXPECT_EQ(port(2)->PerfStats.SerialOverrunErrorCount, 1u);
  EXPECT_EQ(port(2)->WmiPerfData.SerialOverrunErrorCount, 1u);
  EXPECT_EQ(port(2)->ErrorFlags, ULONG(SERIAL_ERROR_OVERRUN));
  EXPECT_EQ(port(2)->EventHistory, 0u) << "no mask, no history";
  port(2)->ErrorFlags = 0;
  SetWaitMask(2, SERIAL_EV_ERR | SERIAL_EV_BREAK);
  Inject({RESPONSE_EVENT, 2, EVENT_LINE_STATUS, SERIAL_LSR_FIFOERR});
  EXPECT_EQ(port(2)->ErrorFlags, 0u);
  EXPECT_EQ(port(2)->EventHistory, 0u);
  EXPECT_EQ(port(2)->Status.LineStatus, SERIAL_LSR_FIFOERR);
}

TEST_F(ResponseDecoding, OnlyTheFirstEventFlagApplies) {
  OpenPort(1);
  port(1)->Status.LineStatus = 0x60;
  Inject({RESPONSE_EVENT, 1, EVENT_MODEM_STATUS | EVENT_LINE_STATUS, 0x11});
  EXPECT_EQ(port(1)->Status.EventFlags, 0x03);
  EXPECT_EQ(port(1)->Status.ModemStatus, 0x11);
  EXPECT_EQ(port(1)->Status.LineStatus, 0x60) << "the value is not applied as line status";
  EXPECT_EQ(port(1)->ErrorFlags, 0u);
  Inject({RESPONSE_EVENT, 1, EVENT_EXTRA_STATUS_0 | EVENT_EXTRA_STATUS_1, 0x5A});
  EXPECT_EQ(port(1)->Status.Extra[0], 0x5A);
  EXPECT_EQ(port(1)->Status.Extra[1], 0);
  Inject({RESPONSE_EVENT, 1, EVENT_EXTRA_STATUS_1, 0xA5});
  EXPECT_EQ(port(1)->Status.Extra[1], 0xA5);
}

TEST_F(ResponseDecoding, EventsForAClosedPortAndBlocksNamingPortZeroOrFiveChangeNothing) {
  OpenPort(1);
  for (int n = 1; n <= 4; ++n) SetWaitMask(n, 0x1FFF);
  std::vector<PortView> before;
  for (int n = 1; n <= 4; ++n) before.push_back(View(n));
  const Bytes blocks[] = {
      {RESPONSE_EVENT, 2, EVENT_MODEM_STATUS, 0xFF},  // port 2 is not open
      {RESPONSE_EVENT, 0, EVENT_LINE_STATUS, 0x1E},
      {RESPONSE_EVENT, 5, EVENT_MODEM_STATUS, 0x0F},
      {RESPONSE_STATUS_REPLY, 0, 3, 0xFF, 0x1E, 1, 1},
      {RESPONSE_STATUS_REPLY, 5, 3, 0xFF, 0x1E, 1, 1},
      {RESPONSE_COMMAND_COMPLETE, 1, 0},
      {RESPONSE_COMMAND_COMPLETE, 1, 5},
      {RESPONSE_NO_ACTION, 1, 1, 1},
      {0xFF, 1, 1, 1, 1, 1, 1},
  };
  for (const Bytes& block : blocks) Inject(block);
  for (int n = 1; n <= 4; ++n) EXPECT_EQ(View(n), before[n - 1]) << "port " << n;
  // The loop went on reading throughout.
  EXPECT_EQ(fixture().InFlight(fixture().ResponsePipe()), 1u);
}

TEST_F(ResponseDecoding, AWaitingRequestIsHandedItsEventsThroughCommWaitDpc) {
  ScriptedPeer peer(model().PortConnector(3));
  OpenPort(3);
  SetWaitMask(3, SERIAL_EV_CTS | SERIAL_EV_DSR);
  ArmedWait wait;
  ArmWait(3, wait);
  EXPECT_EQ(port(3)->WaitResult, &wait.result);
  peer.SetDcd(true);  // not in the mask: the wait stays
  h().Advance(10 * kMillisecond);
  EXPECT_FALSE(wait.completed);
  peer.SetCts(true);
  h().Advance(10 * kMillisecond);
  ASSERT_TRUE(wait.completed);
  EXPECT_EQ(wait.status, STATUS_SUCCESS);
  EXPECT_EQ(wait.information, sizeof(ULONG));
  EXPECT_EQ(wait.result, ULONG(SERIAL_EV_CTS));
  EXPECT_EQ(port(3)->WaitResult, nullptr);
  EXPECT_EQ(port(3)->WaitIrp, nullptr);
  EXPECT_EQ(port(3)->EventHistory, 0u);
  EXPECT_EQ(port(3)->DpcPendingCount, 0) << "the DPC was counted and ran";
  EndWait(wait);

  // Events without a waiter wait for the next one, which gets them at once.
  peer.SetDsr(true);
  h().Advance(10 * kMillisecond);
  EXPECT_EQ(port(3)->EventHistory, ULONG(SERIAL_EV_DSR));
  ArmedWait next;
  ArmWait(3, next);
  h().Advance(1 * kMillisecond);
  ASSERT_TRUE(next.completed);
  EXPECT_EQ(next.result, ULONG(SERIAL_EV_DSR));
  EndWait(next);
}

TEST_F(ResponseDecoding, APortOnItsWayOutTellsItsWaiterWithAnyModemEvent) {
  OpenPort(1);
  OpenPort(2);
  port(1)->DevicePnpState = RemovePending;
  port(2)->DevicePnpState = RemovePending;
  SetWaitMask(1, SERIAL_EV_EVENT1);
  SetWaitMask(2, SERIAL_EV_CTS);
  ArmedWait first, second;
  ArmWait(1, first);
  ArmWait(2, second);
  // Lines as they were: no change bit at all.
  Inject({RESPONSE_EVENT, 1, EVENT_MODEM_STATUS, SERIAL_MSR_CTS});
  Inject({RESPONSE_EVENT, 2, EVENT_MODEM_STATUS, SERIAL_MSR_CTS});
  ASSERT_TRUE(first.completed);
  EXPECT_EQ(first.result, ULONG(SERIAL_EV_EVENT1));
  EXPECT_FALSE(second.completed) << "a mask without EVENT1 hears nothing of the removal";
  EXPECT_EQ(port(2)->EventHistory, 0u);
  EndWait(first);
  EndWait(second);
  EXPECT_EQ(second.status, STATUS_CANCELLED);
  EXPECT_EQ(second.information, 0u);
  port(1)->DevicePnpState = Started;
  port(2)->DevicePnpState = Started;
}

// A block shorter than its layout used to be decoded together with what the previous block
// had left in the buffer.
TEST_F(ResponseDecoding, ABlockShorterThanItsLayoutIsIgnored) {
  OpenPort(1);
  OpenPort(2);
  SetWaitMask(1, SERIAL_EV_CTS | SERIAL_EV_RLSD);
  // Leaves 0x01 0x19 0x03 in bytes 2..4: a modem event's flags and value, port 3 for a
  // command complete.
  Inject({RESPONSE_STATUS_REPLY, 2, 0x01, 0x19, 0x03, 0, 0});
  const PortView one = View(1), three = View(3);
  Inject({RESPONSE_EVENT, 1});            // would be a modem event 0x19 for port 1
  Inject({RESPONSE_COMMAND_COMPLETE, 0}); // would complete port 3's command
  Inject({RESPONSE_STATUS_REPLY, 1, 3});  // would copy the stale bytes into port 1
  Inject({RESPONSE_EVENT});
  EXPECT_EQ(View(1), one);
  EXPECT_EQ(View(3), three);
  EXPECT_EQ(fixture().InFlight(fixture().ResponsePipe()), 1u) << "short blocks do not stop the loop";

  // Whole blocks are decoded as before.
  Inject({RESPONSE_EVENT, 1, EVENT_MODEM_STATUS, 0x19});
  EXPECT_EQ(port(1)->Status.ModemStatus, 0x19);
  EXPECT_EQ(port(1)->EventHistory, ULONG(SERIAL_EV_CTS | SERIAL_EV_RLSD));
}

TEST_F(ResponseDecoding, AnEventCutShortOnTheWireIsIgnored) {
  ScriptedPeer peer(model().PortConnector(2));
  OpenPort(2);
  SetWaitMask(2, SERIAL_EV_CTS);
  const UCHAR modem = port(2)->Status.ModemStatus;
  faults().ShortenPackets(adapter_model::kResponseEndpoint, 2, 1, /*dropRest=*/true);
  peer.SetCts(true);
  h().Advance(20 * kMillisecond);
  EXPECT_EQ(port(2)->Status.ModemStatus, modem);
  EXPECT_EQ(port(2)->EventHistory, 0u);
  peer.SetCts(false);
  h().Advance(20 * kMillisecond);
  EXPECT_EQ(port(2)->Status.ModemStatus, SERIAL_MSR_DCTS);
  EXPECT_EQ(port(2)->EventHistory, ULONG(SERIAL_EV_CTS));
}

}  // namespace
}  // namespace command_test
