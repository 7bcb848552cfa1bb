// Transmit flow control holding ports back, all four ports at once: far ends that drop CTS,
// drop DSR or send XOFF stop their port's characters until they let go; the writes wait, and
// each far end gets every byte once and in order, while the fourth port streams through a
// loopback plug meanwhile. At 300, 9600 and 115200.
#include "serial_port_test_support.h"

namespace {

using namespace serial_test;
using adapter_model::ScriptedPeer;

enum class Flow { RtsCts, DtrDsr, XonXoff };

struct Window {
  sim::VirtualTime from;
  sim::VirtualTime to;
};

// One held port: its handle, its far end, what it writes and when it was held.
struct HeldPort {
  Flow flow = Flow::RtsCts;
  PFILE_OBJECT file = nullptr;
  ScriptedPeer* peer = nullptr;
  Bytes data;
  sim::io::Request write;
  std::vector<Window> held;
};

class FlowControlTest : public SerialPortTest {
 protected:
  NTSTATUS SetFlow(PFILE_OBJECT file, Flow flow) {
    switch (flow) {
      case Flow::RtsCts:
        return SetHandflow(file, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE);
      case Flow::DtrDsr:
        return SetHandflow(file, SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE, SERIAL_RTS_CONTROL);
      case Flow::XonXoff:
        return SetHandflow(file, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT);
    }
    return STATUS_UNSUCCESSFUL;
  }
  static void Hold(ScriptedPeer& peer, Flow flow, bool on) {
    if (flow == Flow::RtsCts) peer.SetCts(!on);
    if (flow == Flow::DtrDsr) peer.SetDsr(!on);
    if (flow == Flow::XonXoff) peer.Send(Bytes{static_cast<uint8_t>(on ? CONFIG_XOFF_CHAR : CONFIG_XON_CHAR)});
  }

  // Ports 1 to 3 each write `bytes` to a far end holding them back `holds` times, one flow
  // mode each; port 4 streams the same amount through a loopback plug.
  void RunHeldStreams(ULONG baud, size_t bytes, int holds, sim::VirtualTime holdLength) {
    SCOPED_TRACE("baud " + std::to_string(baud));
    adapter_model::LineFormat format;
    format.baud = baud;
    std::vector<HeldPort> ports;
    for (Flow flow : {Flow::RtsCts, Flow::DtrDsr, Flow::XonXoff}) {
      const int number = static_cast<int>(ports.size()) + 1;
      HeldPort port;
      port.flow = flow;
      port.peer = &PlugPeer(number, format);
      port.peer->SetCts(true);
      port.peer->SetDsr(true);
      port.file = Open(number);
      ASSERT_EQ(SetBaud(port.file, baud), STATUS_SUCCESS);
      ASSERT_EQ(SetFlow(port.file, flow), STATUS_SUCCESS);
      port.data = Pattern(bytes, baud + static_cast<uint32_t>(number));
      ports.push_back(std::move(port));
    }
    PlugLoopback(4);
    PFILE_OBJECT loop = Open(4);
    ASSERT_EQ(SetBaud(loop, baud), STATUS_SUCCESS);
    const Bytes looped = Pattern(bytes, baud + 4);
    sim::io::Request loopRead = sim::io::ReadAsync(loop, static_cast<ULONG>(bytes));
    sim::io::Request loopWrite = sim::io::WriteAsync(loop, looped);
    for (auto& port : ports) port.write = sim::io::WriteAsync(port.file, port.data);

    const sim::VirtualTime frame = format.FrameTime();
    const sim::VirtualTime lineTime = static_cast<sim::VirtualTime>(bytes) * frame;
    // The adapter takes what its buffers hold at once, so a write is only waiting while more
    // than that is left: every hold falls before the last few hundred characters.
    const sim::VirtualTime spacing = (lineTime - 300 * frame) / (holds + 1);
    for (int i = 0; i < holds; ++i) {
      h().Advance(spacing);
      const sim::VirtualTime start = Now();
      for (auto& port : ports) Hold(*port.peer, port.flow, true);
      h().Advance(holdLength);
      for (auto& port : ports) {
        Hold(*port.peer, port.flow, false);
        // The stop takes hold at the next character boundary (after the XOFF itself has
        // arrived); the release once the line change or the XON has arrived.
        const sim::VirtualTime delay = port.flow == Flow::XonXoff ? frame : 0;
        port.held.push_back({start + delay + frame, Now()});
        EXPECT_FALSE(port.write.IsComplete()) << "held back " << i;
      }
    }
    for (auto& port : ports) {
      SCOPED_TRACE("flow " + std::to_string(static_cast<int>(port.flow)));
      ASSERT_TRUE(h().RunUntil([&] { return port.write.IsComplete(); }, 2 * lineTime + 10 * kSecond));
      EXPECT_EQ(port.write.Status(), STATUS_SUCCESS);
      EXPECT_EQ(port.write.Information(), bytes);
      h().RunUntil([&] { return port.peer->ReceivedBytes().size() >= bytes; }, 10 * kSecond);
      h().Advance(4 * frame);
      EXPECT_TRUE(port.peer->ReceivedBytes() == port.data) << "every byte once and in order";
      for (const auto& received : port.peer->Received())
        for (const auto& window : port.held)
          EXPECT_FALSE(received.start > window.from && received.start < window.to)
              << "a character started while the port was held, at " << received.start;
      EXPECT_EQ(Close(port.file), STATUS_SUCCESS);
    }
    EXPECT_TRUE(loopRead.Wait().output == looped);
    EXPECT_EQ(loopWrite.Wait().information, bytes);
    EXPECT_EQ(Close(loop), STATUS_SUCCESS);
    for (int number = 1; number <= 4; ++number) EXPECT_EQ(fixture().MaxInFlight(DataOutPipe(number)), 1u);
  }
};

TEST_F(FlowControlTest, FourPortsAt300) { RunHeldStreams(300, 600, 2, 500 * kMillisecond); }
TEST_F(FlowControlTest, FourPortsAt9600) { RunHeldStreams(9600, 3000, 3, 200 * kMillisecond); }
TEST_F(FlowControlTest, FourPortsAt115200) { RunHeldStreams(115200, 30000, 3, 200 * kMillisecond); }

// Null-modem pairs with a handshake on both ends, each end reading with reads pending: both
// directions arrive whole and in order.
TEST_F(FlowControlTest, HandshakingPairsCarryBothDirectionsWhole) {
  PlugNullModem(1, 2);
  PFILE_OBJECT a = Open(1);
  PFILE_OBJECT b = Open(2);
  for (PFILE_OBJECT file : {a, b}) {
    ASSERT_EQ(SetBaud(file, 115200), STATUS_SUCCESS);
    ASSERT_EQ(SetFlow(file, Flow::RtsCts), STATUS_SUCCESS);
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
