// Transmit flow control holding a port back: a far end that drops CTS or DSR, or sends XOFF,
// stops the port's characters until it lets go; the write waits, and the far end gets every
// byte once and in order. At 300, 9600 and 115200.
#include "serial_port_test_support.h"

namespace {

using namespace serial_test;
using adapter_model::ScriptedPeer;

enum class Flow { RtsCts, DtrDsr, XonXoff };

struct Window {
  sim::VirtualTime from;
  sim::VirtualTime to;
};

class FlowControlTest : public SerialPortTest {
 protected:
  // Streams `bytes` from port 1 to a scripted peer that holds it back `holds` times.
  void RunHeldStream(ULONG baud, Flow flow, size_t bytes, int holds, sim::VirtualTime holdLength) {
    SCOPED_TRACE("baud " + std::to_string(baud));
    adapter_model::LineFormat format;
    format.baud = baud;
    ScriptedPeer& peer = PlugPeer(1, format);
    peer.SetCts(true);
    peer.SetDsr(true);
    PFILE_OBJECT file = Open(1);
    ASSERT_EQ(SetBaud(file, baud), STATUS_SUCCESS);
    switch (flow) {
      case Flow::RtsCts:
        ASSERT_EQ(SetHandflow(file, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
        break;
      case Flow::DtrDsr:
        ASSERT_EQ(SetHandflow(file, SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
        break;
      case Flow::XonXoff:
        ASSERT_EQ(SetHandflow(file, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT), STATUS_SUCCESS);
        break;
    }
    const sim::VirtualTime frame = format.FrameTime();
    const Bytes data = Pattern(bytes, baud);
    const sim::VirtualTime lineTime = static_cast<sim::VirtualTime>(bytes) * frame;
    sim::io::Request write = sim::io::WriteAsync(file, data);

    std::vector<Window> held;
    // The adapter takes what its buffers hold at once, so the write is only waiting while
    // more than that is left: every hold falls before the last few hundred characters.
    const sim::VirtualTime spacing = (lineTime - 300 * frame) / (holds + 1);
    for (int i = 0; i < holds; ++i) {
      h().Advance(spacing);
      const sim::VirtualTime start = Now();
      if (flow == Flow::RtsCts) peer.SetCts(false);
      if (flow == Flow::DtrDsr) peer.SetDsr(false);
      if (flow == Flow::XonXoff) peer.Send(Bytes{CONFIG_XOFF_CHAR});
      h().Advance(holdLength);
      if (flow == Flow::RtsCts) peer.SetCts(true);
      if (flow == Flow::DtrDsr) peer.SetDsr(true);
      if (flow == Flow::XonXoff) peer.Send(Bytes{CONFIG_XON_CHAR});
      // The stop takes hold at the next character boundary (after the XOFF itself has
      // arrived); the release once the line change or the XON has arrived.
      const sim::VirtualTime delay = flow == Flow::XonXoff ? frame : 0;
      held.push_back({start + delay + frame, Now()});
      ASSERT_FALSE(write.IsComplete()) << "held back " << i;
    }
    ASSERT_TRUE(h().RunUntil([&] { return write.IsComplete(); }, 2 * lineTime + 10 * kSecond));
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_EQ(write.Information(), bytes);
    h().RunUntil([&] { return peer.ReceivedBytes().size() >= bytes; }, 10 * kSecond);
    h().Advance(4 * frame);
    EXPECT_TRUE(peer.ReceivedBytes() == data) << "every byte once and in order";
    for (const auto& received : peer.Received())
      for (const auto& window : held)
        EXPECT_FALSE(received.start > window.from && received.start < window.to)
            << "a character started while the port was held, at " << received.start;
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
    Unplug(&peer);
  }
};

TEST_F(FlowControlTest, CtsHandshakeHoldsThePortBack) {
  RunHeldStream(300, Flow::RtsCts, 600, 2, 500 * kMillisecond);
  RunHeldStream(9600, Flow::RtsCts, 3000, 3, 200 * kMillisecond);
  RunHeldStream(115200, Flow::RtsCts, 30000, 3, 200 * kMillisecond);
}

TEST_F(FlowControlTest, DsrHandshakeHoldsThePortBack) {
  RunHeldStream(300, Flow::DtrDsr, 600, 2, 500 * kMillisecond);
  RunHeldStream(9600, Flow::DtrDsr, 3000, 3, 200 * kMillisecond);
  RunHeldStream(115200, Flow::DtrDsr, 30000, 3, 200 * kMillisecond);
}

TEST_F(FlowControlTest, XoffHoldsThePortBackUntilXon) {
  RunHeldStream(300, Flow::XonXoff, 600, 2, 500 * kMillisecond);
  RunHeldStream(9600, Flow::XonXoff, 3000, 3, 200 * kMillisecond);
  RunHeldStream(115200, Flow::XonXoff, 30000, 3, 200 * kMillisecond);
}

// Null-modem pairs with a handshake on both ends, each end reading with reads pending: both
// directions arrive whole and in order.
TEST_F(FlowControlTest, HandshakingPairsCarryBothDirectionsWhole) {
  PlugNullModem(1, 2);
  PFILE_OBJECT a = Open(1);
  PFILE_OBJECT b = Open(2);
  for (PFILE_OBJECT file : {a, b}) {
    ASSERT_EQ(SetBaud(file, 115200), STATUS_SUCCESS);
    ASSERT_EQ(SetHandflow(file, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
  }
  Bytes ab = Pattern(20000, 1), ba = Pattern(20000, 2);
  sim::io::Request readAtB = sim::io::ReadAsync(b, 20000);
  sim::io::Request readAtA = sim::io::ReadAsync(a, 20000);
  sim::io::Request writeA = sim::io::WriteAsync(a, ab);
  sim::io::Request writeB = sim::io::WriteAsync(b, ba);
  EXPECT_EQ(readAtB.Wait().output, ab);
  EXPECT_EQ(readAtA.Wait().output, ba);
  EXPECT_EQ(writeA.Wait().information, 20000u);
  EXPECT_EQ(writeB.Wait().information, 20000u);
  EXPECT_EQ(Close(a), STATUS_SUCCESS);
  EXPECT_EQ(Close(b), STATUS_SUCCESS);
}

}  // namespace
