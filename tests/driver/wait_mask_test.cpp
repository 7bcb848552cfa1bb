// Wait on mask through the port's control requests: every event from a real change on the
// line, the waits refused, ended and cancelled, and a new handle starting clean.
#include <functional>

#include "port_control_test_support.h"

namespace serial_test {
namespace {

class WaitMask : public PortControlTest {
 protected:
  NTSTATUS SetMask(PFILE_OBJECT file, ULONG mask) {
    return Ioctl(file, IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(mask)).status;
  }
  NTSTATUS SetMask(ULONG mask) { return SetMask(file_, mask); }
  sim::io::Request Wait(PFILE_OBJECT file) { return IoctlAsync(file, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4); }
  sim::io::Request Wait() { return Wait(file_); }
  ULONG GetMask() { return Get<ULONG>(IOCTL_SERIAL_GET_WAIT_MASK); }

  // The wait ended with success and exactly these events.
  void ExpectEvents(sim::io::Request& wait, ULONG events) {
    ASSERT_TRUE(h().RunUntil([&] { return wait.IsComplete(); })) << "wait for " << std::hex << events;
    EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait.Information(), 4u);
    EXPECT_EQ(ValueOf<ULONG>(wait.Output()), events) << std::hex << ValueOf<ULONG>(wait.Output());
  }
};

// Each event source of the table, asked for alone, from what a peer really does on the line.
TEST_F(WaitMask, EveryEventComesFromARealChangeOnTheLine) {
  ASSERT_EQ(SetLineControl(file_, 8, EVEN_PARITY, STOP_BIT_1), STATUS_SUCCESS);
  SERIAL_CHARS chars{};
  chars.XonChar = 0x11;
  chars.XoffChar = 0x13;
  chars.EventChar = '#';
  ASSERT_EQ(Ioctl(file_, IOCTL_SERIAL_SET_CHARS, BytesOf(chars)).status, STATUS_SUCCESS);
  adapter_model::LineFormat format;
  format.parity = adapter_model::Parity::Even;
  adapter_model::ScriptedPeer& peer = PlugPeer(kPort, format);
  Settle();

  struct Source {
    const char* name;
    ULONG event;
    std::function<void()> act;
  };
  const Source sources[] = {
      {"CTS", SERIAL_EV_CTS, [&] { peer.SetCts(true); }},
      {"DSR", SERIAL_EV_DSR, [&] { peer.SetDsr(true); }},
      {"RLSD", SERIAL_EV_RLSD, [&] { peer.SetDcd(true); }},
      {"RING", SERIAL_EV_RING,
       [&] {
         peer.SetRing(true);
         h().Advance(5 * kMillisecond);
         peer.SetRing(false);
       }},
      {"BREAK", SERIAL_EV_BREAK, [&] { peer.SendBreak(5 * kMillisecond); }},
      {"ERR", SERIAL_EV_ERR, [&] { peer.SendWithParityError(0x42); }},
      {"RXCHAR", SERIAL_EV_RXCHAR, [&] { peer.Send("abc"); }},
      {"RXFLAG", SERIAL_EV_RXFLAG, [&] { peer.Send("x#y"); }},
  };
  for (const Source& source : sources) {
    SCOPED_TRACE(source.name);
    ASSERT_EQ(SetMask(source.event), STATUS_SUCCESS);
    EXPECT_EQ(GetMask(), source.event);
    sim::io::Request wait = Wait();
    h().Advance(20 * kMillisecond);
    ASSERT_FALSE(wait.IsComplete()) << "nothing happened yet";
    source.act();
    ExpectEvents(wait, source.event);
    h().RunUntil([&] { return peer.Idle(); });
    Settle();
    // What the event left in the ring or the error flags is not the next source's business.
    Ioctl(file_, IOCTL_SERIAL_PURGE, BytesOf(ULONG{SERIAL_PURGE_RXCLEAR}));
    Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  }
}

TEST_F(WaitMask, EventsSeenBeforeTheWaitAnswerItAtOnceAndOnlyOnce) {
  adapter_model::ScriptedPeer& peer = PlugPeer(kPort);
  ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS), STATUS_SUCCESS);
  peer.Send("hello");
  h().RunUntil([&] { return peer.Idle(); });
  h().Advance(20 * kMillisecond);  // the adapter hands over the last bytes

  sim::io::Result first = Ioctl(file_, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  EXPECT_EQ(first.status, STATUS_SUCCESS) << "answered without pending";
  EXPECT_EQ(first.information, 4u);
  EXPECT_EQ(ValueOf<ULONG>(first.output), ULONG{SERIAL_EV_RXCHAR});

  sim::io::Request second = Wait();
  h().Advance(50 * kMillisecond);
  EXPECT_FALSE(second.IsComplete()) << "the history was delivered once";
  peer.SetCts(true);
  ExpectEvents(second, SERIAL_EV_CTS);
}

// A new mask ends the waiting request with no events; the history keeps only the new mask's
// bits; and a wait that follows at once is accepted, not refused as a second one.
TEST_F(WaitMask, ANewMaskEndsTheWaitAndTheNextWaitIsAcceptedAtOnce) {
  adapter_model::ScriptedPeer& peer = PlugPeer(kPort);
  ASSERT_EQ(SetMask(SERIAL_EV_DSR), STATUS_SUCCESS);
  sim::io::Request ended = Wait();
  h().Advance(10 * kMillisecond);
  ASSERT_FALSE(ended.IsComplete());

  ASSERT_EQ(SetMask(SERIAL_EV_DSR | SERIAL_EV_CTS), STATUS_SUCCESS);
  ASSERT_TRUE(ended.IsComplete()) << "ended by the new mask before it returned";
  EXPECT_EQ(ended.Status(), STATUS_SUCCESS);
  EXPECT_EQ(ended.Information(), 4u);
  EXPECT_EQ(ValueOf<ULONG>(ended.Output()), 0u);

  sim::io::Request next = Wait();
  h().Advance(10 * kMillisecond);
  EXPECT_FALSE(next.IsComplete()) << "accepted and waiting, not refused";
  peer.SetCts(true);
  ExpectEvents(next, SERIAL_EV_CTS);

  // CTS and DSR seen with no wait; the new mask keeps only DSR of them.
  peer.SetCts(false);
  peer.SetDsr(true);
  h().Advance(20 * kMillisecond);
  ASSERT_EQ(SetMask(SERIAL_EV_DSR | SERIAL_EV_RING), STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).output, BytesOf(ULONG{SERIAL_EV_DSR}));
}

TEST_F(WaitMask, WaitsWithoutAMaskOrBesideAnotherAreRefused) {
  EXPECT_EQ(GetMask(), 0u) << "no mask before the first SET_WAIT_MASK";
  sim::io::Result noMask = Ioctl(file_, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  EXPECT_EQ(noMask.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(noMask.information, 0u);

  EXPECT_EQ(SetMask(0x2000), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetMask(0x80000000), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(GetMask(), 0u) << "a refused mask changes nothing";
  EXPECT_EQ(SetMask(SERIAL_EV_EVENT2), STATUS_SUCCESS);
  EXPECT_EQ(SetMask(0x1FFF), STATUS_SUCCESS) << "every defined event at once";
  EXPECT_EQ(GetMask(), 0x1FFFu);

  sim::io::Request pending = Wait();
  sim::io::Result second = Ioctl(file_, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  EXPECT_EQ(second.status, STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(pending.IsComplete()) << "the first wait is not disturbed";

  ASSERT_EQ(SetMask(0), STATUS_SUCCESS);
  ExpectEvents(pending, 0);
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER);

  // Short buffers, with nothing changed.
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_SET_WAIT_MASK, Bytes(3, 0xFF)).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_WAIT_ON_MASK, {}, 3).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_GET_WAIT_MASK, {}, 3).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(GetMask(), 0u);
}

TEST_F(WaitMask, ACancelledWaitReportsNothingAndItsEventsWaitForTheNext) {
  adapter_model::ScriptedPeer& peer = PlugPeer(kPort);
  ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  sim::io::Request cancelled = Wait();
  h().Advance(10 * kMillisecond);
  cancelled.Cancel();
  ASSERT_TRUE(h().RunUntil([&] { return cancelled.IsComplete(); }));
  EXPECT_EQ(cancelled.Status(), STATUS_CANCELLED);
  EXPECT_EQ(cancelled.Information(), 0u);

  peer.Send("z");
  h().RunUntil([&] { return peer.Idle(); });
  Settle();
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).output, BytesOf(ULONG{SERIAL_EV_RXCHAR}));
}

TEST_F(WaitMask, ANewHandleInheritsNeitherTheMaskNorTheEvents) {
  adapter_model::ScriptedPeer& peer = PlugPeer(kPort);
  ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS), STATUS_SUCCESS);
  peer.Send("stale");
  peer.SetCts(true);
  h().RunUntil([&] { return peer.Idle(); });
  Settle();
  sim::io::Request leftOver = Wait();  // satisfied at once by the stale events
  ASSERT_TRUE(h().RunUntil([&] { return leftOver.IsComplete(); }));
  ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS), STATUS_SUCCESS);
  peer.SetCts(false);
  h().Advance(20 * kMillisecond);  // one more event in the history at close
  ASSERT_EQ(Close(file_), STATUS_SUCCESS);

  file_ = Open(kPort);
  ASSERT_NE(file_, nullptr);
  EXPECT_EQ(GetMask(), 0u);
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER);
  ASSERT_EQ(SetMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS), STATUS_SUCCESS);
  sim::io::Request fresh = Wait();
  h().Advance(20 * kMillisecond);
  EXPECT_FALSE(fresh.IsComplete()) << "no stale CTS change from the last handle";
  peer.Send("new");
  ExpectEvents(fresh, SERIAL_EV_RXCHAR);
}

// TXEMPTY once the adapter has taken the last byte of the last queued write, not before.
TEST_F(WaitMask, TransmitEmptyFollowsTheLastByteOfTheLastWrite) {
  PlugLoopback(kPort);
  ASSERT_EQ(SetMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
  sim::io::Request wait = Wait();
  sim::io::Request first = sim::io::WriteAsync(file_, Pattern(300, 1));
  sim::io::Request second = sim::io::WriteAsync(file_, Pattern(200, 2));
  ASSERT_TRUE(h().RunUntil([&] { return first.IsComplete(); }));
  EXPECT_FALSE(wait.IsComplete()) << "a write is still queued behind the first";
  ExpectEvents(wait, SERIAL_EV_TXEMPTY);
  EXPECT_TRUE(second.IsComplete()) << "reported only once the last write was done";
  EXPECT_EQ(second.Status(), STATUS_SUCCESS);

  // An immediate character on its own empties the transmit side too.
  sim::io::Request again = Wait();
  h().Advance(10 * kMillisecond);
  ASSERT_FALSE(again.IsComplete());
  ASSERT_EQ(Ioctl(file_, IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes{0x55}).status, STATUS_SUCCESS);
  ExpectEvents(again, SERIAL_EV_TXEMPTY);
}

// RX80FULL as the ring's fill crosses 80 % of its size, once per crossing.
TEST_F(WaitMask, ReceiveBufferEightyPercentFull) {
  adapter_model::LineFormat format;
  format.baud = 115200;
  adapter_model::ScriptedPeer& peer = PlugPeer(kPort, format);
  ASSERT_EQ(SetBaud(file_, 115200), STATUS_SUCCESS);
  const ULONG size = Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES).CurrentRxQueue;
  const ULONG mark = size - size / 5;
  ASSERT_EQ(SetMask(SERIAL_EV_RX80FULL), STATUS_SUCCESS);
  sim::io::Request wait = Wait();
  peer.Send(Pattern(mark - 1, 3));
  h().RunUntil([&] { return peer.Idle(); });
  h().Advance(20 * kMillisecond);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, mark - 1);
  EXPECT_FALSE(wait.IsComplete()) << "one byte below the mark";
  peer.Send(Bytes{0x01});
  ExpectEvents(wait, SERIAL_EV_RX80FULL);

  // Above the mark already: more bytes do not cross it again; draining and refilling does.
  sim::io::Request next = Wait();
  peer.Send(Pattern(10, 4));
  h().RunUntil([&] { return peer.Idle(); });
  h().Advance(20 * kMillisecond);
  EXPECT_FALSE(next.IsComplete());
  ASSERT_EQ(sim::io::Read(file_, mark + 10).status, STATUS_SUCCESS);
  peer.Send(Pattern(mark, 5));
  ExpectEvents(next, SERIAL_EV_RX80FULL);
}

// Surprise removal of one port: every port of the adapter waiting with EVENT1 in its mask
// hears of it; a port whose mask lacks it keeps waiting; nothing more is sent for the port.
TEST_F(WaitMask, SurpriseRemovalOfOnePortTellsEveryPortWaitingForIt) {
  PFILE_OBJECT files[5] = {nullptr, Open(1), file_, Open(3), Open(4)};
  const ULONG masks[5] = {0, SERIAL_EV_EVENT1 | SERIAL_EV_CTS, SERIAL_EV_EVENT1, SERIAL_EV_EVENT1 | SERIAL_EV_RXCHAR,
                          SERIAL_EV_RXCHAR};
  std::vector<sim::io::Request> waits(5);
  for (int n = 1; n <= 4; ++n) {
    ASSERT_NE(files[n], nullptr);
    ASSERT_EQ(SetMask(files[n], masks[n]), STATUS_SUCCESS);
    waits[n] = Wait(files[n]);
  }
  h().Advance(10 * kMillisecond);
  for (int n = 1; n <= 4; ++n) ASSERT_FALSE(waits[n].IsComplete()) << "port " << n;

  sim::io::Result removal = sim::io::SendPnp(port(3)->Self, IRP_MN_SURPRISE_REMOVAL);
  EXPECT_EQ(removal.status, STATUS_SUCCESS);
  for (int n = 1; n <= 3; ++n) {
    SCOPED_TRACE("port " + std::to_string(n));
    ExpectEvents(waits[n], SERIAL_EV_EVENT1);
  }
  h().Advance(20 * kMillisecond);
  EXPECT_FALSE(waits[4].IsComplete()) << "its mask does not ask for EVENT1";
  waits[4].Cancel();
  ASSERT_TRUE(h().RunUntil([&] { return waits[4].IsComplete(); }));
  EXPECT_EQ(waits[4].Status(), STATUS_CANCELLED);

  size_t before = Blocks().size();
  EXPECT_EQ(Ioctl(files[3], IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
  EXPECT_EQ(Close(files[3]), STATUS_SUCCESS);
  Settle();
  for (const Bytes& block : BlocksSince(before))
    EXPECT_FALSE(block.size() > 1 && block[1] == 3) << "a command for the removed port: " << ::testing::PrintToString(block);
}

// A deleted port is gone from the adapter's table: events the adapter still reports for it
// and the surprise removal of another port, which walks the table, never reach it.
TEST_F(WaitMask, ADeletedPortIsNeverReachedThroughTheAdapter) {
  ASSERT_EQ(fixture().DisableAndEjectPort(3), STATUS_SUCCESS);
  EXPECT_EQ(adapter()->Ports[2], nullptr);
  fixture().injector().Inject({RESPONSE_EVENT, 3, EVENT_MODEM_STATUS, SERIAL_MSR_DCTS | SERIAL_MSR_CTS});
  fixture().injector().Inject({RESPONSE_EVENT, 3, EVENT_LINE_STATUS, SERIAL_LSR_PE});
  h().Advance(20 * kMillisecond);

  ASSERT_EQ(SetMask(SERIAL_EV_EVENT1), STATUS_SUCCESS);
  sim::io::Request wait = Wait();
  EXPECT_EQ(sim::io::SendPnp(port(kPort)->Self, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
  ExpectEvents(wait, SERIAL_EV_EVENT1);
}

}  // namespace
}  // namespace serial_test
