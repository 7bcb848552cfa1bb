// Line settings through IOCTL_SERIAL_* requests on an open port: what each request sends to
// the adapter, what the firmware applies, what the GET requests report afterwards, and that a
// refused request changes none of them.
#include "port_control_test_support.h"
#include "wmi_test_support.h"

namespace serial_test {
namespace {

using adapter_model::Parity;
using adapter_model::StopBits;

class LineSettings : public PortControlTest {};

TEST_F(LineSettings, BaudRatesAreSubstitutedDivideTheClockOrAreRefused) {
  struct Case {
    ULONG requested;
    ULONG sent;  // 0: refused
  } cases[] = {
      {9600, 9600},     {460800, 460800}, {230400, 230400}, {115200, 115200}, {57600, 57600}, {19200, 19200},
      {14400, 14400},   {300, 300},       {75, 75},         {256000, 230400}, {128000, 115200}, {56000, 57600},
      {110, 100},       {0, 0},           {134, 0},         {2000, 0},        {921600, 0},    {250000, 0},
      {0xFFFFFFFF, 0},
  };
  ULONG current = Baud();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requested);
    NTSTATUS status = STATUS_PENDING;
    auto sent = Sent([&] { status = SetBaud(file_, c.requested); });
    if (c.sent == 0) {
      EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
      EXPECT_TRUE(sent.empty());
    } else {
      EXPECT_EQ(status, STATUS_SUCCESS);
      ASSERT_EQ(sent.size(), 1u);
      PortConfigBlock block = ConfigOf(sent[0]);
      EXPECT_EQ(block.PortNumber, kPort);
      EXPECT_EQ(ULONG{block.BaudRate}, c.sent);
      current = c.sent;
      EXPECT_EQ(wmi_test::CommInfoOf(port(kPort)->Self).BaudRate, current);
    }
    EXPECT_EQ(Baud(), current);
    EXPECT_EQ(Applied().format.baud, current);
  }
}

TEST_F(LineSettings, TheAdaptersAliasesApplyAfterTheSubstitutionsAndChain) {
  struct Case {
    ULONG map230, map460, requested, sent;
  } cases[] = {
      {57600, 0, 57600, 230400},     {57600, 230400, 57600, 460800}, {0, 115200, 115200, 460800},
      {57600, 115200, 57600, 230400}, {57600, 115200, 115200, 460800}, {57600, 0, 56000, 230400},
      {9600, 0, 230400, 230400},     {0, 0, 57600, 57600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.map230 << "/" << c.map460 << ": " << c.requested);
    adapter()->Map230K = c.map230;
    adapter()->Map460K = c.map460;
    auto sent = Sent([&] { EXPECT_EQ(SetBaud(file_, c.requested), STATUS_SUCCESS); });
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(ULONG{ConfigOf(sent[0]).BaudRate}, c.sent);
    EXPECT_EQ(Baud(), c.sent);
    EXPECT_EQ(Applied().format.baud, c.sent);
  }
}

TEST_F(LineSettings, EveryLineControlIsSentAndReportedOrRefusedWithoutAnyChange) {
  const UCHAR letters[] = {'n', 'o', 'e', '1', '0'};
  const ULONG wmiParity[] = {SERIAL_WMI_PARITY_NONE, SERIAL_WMI_PARITY_ODD, SERIAL_WMI_PARITY_EVEN,
                             SERIAL_WMI_PARITY_MARK, SERIAL_WMI_PARITY_SPACE};
  const Parity modelParity[] = {Parity::None, Parity::Odd, Parity::Even, Parity::Mark, Parity::Space};
  SERIAL_LINE_CONTROL current = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
  SERIAL_WMI_COMM_DATA wmi = wmi_test::CommInfoOf(port(kPort)->Self);
  int accepted = 0;
  // Word length innermost: a refused request differs from the accepted one before it.
  for (UCHAR parity = 0; parity <= 5; ++parity)
    for (UCHAR stopBits = 0; stopBits <= 3; ++stopBits)
      for (UCHAR wordLength = 4; wordLength <= 9; ++wordLength) {
        SCOPED_TRACE(testing::Message() << int(wordLength) << " data, parity " << int(parity) << ", stop "
                                        << int(stopBits));
        bool valid = wordLength >= 5 && wordLength <= 8 && parity <= SPACE_PARITY &&
                     (stopBits == STOP_BIT_1 || (stopBits == STOP_BITS_1_5 && wordLength == 5) ||
                      (stopBits == STOP_BITS_2 && wordLength != 5));
        NTSTATUS status = STATUS_PENDING;
        auto sent = Sent([&] { status = SetLineControl(file_, wordLength, parity, stopBits); });
        if (valid) {
          ++accepted;
          EXPECT_EQ(status, STATUS_SUCCESS);
          ASSERT_EQ(sent.size(), 1u);
          PortConfigBlock block = ConfigOf(sent[0]);
          EXPECT_EQ(block.DataBits, wordLength);
          EXPECT_EQ(block.StopBits, stopBits == STOP_BIT_1 ? 1 : 2);
          EXPECT_EQ(block.Parity, letters[parity]);
          current = {stopBits, parity, wordLength};
          wmi.BitsPerByte = wordLength;
          wmi.Parity = wmiParity[parity];
          wmi.StopBits = stopBits;  // the WMI stop-bit values follow the request's
          EXPECT_EQ(Applied().format.dataBits, wordLength);
          EXPECT_EQ(Applied().format.parity, modelParity[parity]);
          EXPECT_EQ(Applied().format.stopBits, stopBits == STOP_BIT_1   ? StopBits::One
                                               : stopBits == STOP_BITS_2 ? StopBits::Two
                                                                         : StopBits::OneAndHalf);
        } else {
          EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
          EXPECT_TRUE(sent.empty());
        }
        SERIAL_LINE_CONTROL reported = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
        EXPECT_EQ(reported.WordLength, current.WordLength);
        EXPECT_EQ(reported.Parity, current.Parity);
        EXPECT_EQ(reported.StopBits, current.StopBits);
        SERIAL_WMI_COMM_DATA reportedWmi = wmi_test::CommInfoOf(port(kPort)->Self);
        EXPECT_EQ(reportedWmi.BitsPerByte, wmi.BitsPerByte);
        EXPECT_EQ(reportedWmi.Parity, wmi.Parity);
        EXPECT_EQ(reportedWmi.StopBits, wmi.StopBits);
      }
  EXPECT_EQ(accepted, 4 * 5 + 1 * 5 + 3 * 5);  // one stop bit for all, 1.5 for 5 bits, 2 for the rest
}

TEST_F(LineSettings, HandflowSetsTheFlowLetterAndTheHandshakeByte) {
  const ULONG rtsModes[] = {0, SERIAL_RTS_CONTROL, SERIAL_RTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE};
  const ULONG autoModes[] = {0, SERIAL_AUTO_TRANSMIT, SERIAL_AUTO_RECEIVE, SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE};
  const char letters[] = {'n', 't', 'r', 'b'};
  const ULONG lineModes[] = {0, SERIAL_CTS_HANDSHAKE, SERIAL_DSR_HANDSHAKE, SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE};
  for (ULONG rts : rtsModes)
    for (int a = 0; a < 4; ++a)
      for (ULONG line : lineModes) {
        // DTR handshake and the limits have no place in the block: they must not change it.
        ULONG control = line | (a == 3 ? SERIAL_DTR_HANDSHAKE : SERIAL_DTR_CONTROL);
        ULONG flow = rts | autoModes[a];
        SCOPED_TRACE(testing::Message() << std::hex << "control " << control << " flow " << flow);
        bool cts = line & SERIAL_CTS_HANDSHAKE, dsr = line & SERIAL_DSR_HANDSHAKE;
        UCHAR expected = rts == SERIAL_TRANSMIT_TOGGLE ? 0x01 : (rts == SERIAL_RTS_HANDSHAKE ? 0x80 : 0) | (cts ? 0x08 : 0);
        expected |= dsr ? 0x10 : 0;

        auto sent = Sent([&] { EXPECT_EQ(SetHandflow(file_, control, flow, 100 + a, 7), STATUS_SUCCESS); });
        ASSERT_EQ(sent.size(), 1u);
        PortConfigBlock block = ConfigOf(sent[0]);
        EXPECT_EQ(block.FlowControl, letters[a]);
        EXPECT_EQ(block.Handshake, expected);
        EXPECT_EQ(block.XoffChar, CONFIG_XOFF_CHAR);
        EXPECT_EQ(block.XonChar, CONFIG_XON_CHAR);

        EXPECT_EQ(Applied().flow, letters[a]);
        EXPECT_EQ(Applied().TransmitToggle(), rts == SERIAL_TRANSMIT_TOGGLE);
        EXPECT_EQ(Applied().RtsHandshake(), rts == SERIAL_RTS_HANDSHAKE);
        EXPECT_EQ(Applied().CtsHandshake(), cts && rts != SERIAL_TRANSMIT_TOGGLE);
        EXPECT_EQ(Applied().DsrHandshake(), dsr);

        SERIAL_HANDFLOW reported = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
        EXPECT_EQ(reported.ControlHandShake, control);
        EXPECT_EQ(reported.FlowReplace, flow);
        EXPECT_EQ(reported.XonLimit, 100 + a);
        EXPECT_EQ(reported.XoffLimit, 7);
      }
}

TEST_F(LineSettings, AHandflowWithAReservedBitIsRefusedWithoutAnyChange) {
  ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 10, 20),
            STATUS_SUCCESS);
  PortConfigBlock before = port(kPort)->Config;
  struct Case {
    ULONG control, flow;
  } refused[] = {{0x04, 0}, {0x80, 0}, {0x100, 0}, {0x40000000, 0}, {0, 0x20}, {0, 0x100}, {0, 0x40000000}};
  for (const Case& c : refused) {
    SCOPED_TRACE(testing::Message() << std::hex << c.control << " " << c.flow);
    auto sent = Sent([&] { EXPECT_EQ(SetHandflow(file_, c.control, c.flow), STATUS_INVALID_PARAMETER); });
    EXPECT_TRUE(sent.empty());
    SERIAL_HANDFLOW reported = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(reported.ControlHandShake, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE);
    EXPECT_EQ(reported.FlowReplace, SERIAL_RTS_HANDSHAKE);
    EXPECT_EQ(reported.XonLimit, 10);
    EXPECT_EQ(std::memcmp(&port(kPort)->Config, &before, sizeof before), 0);
  }
  // The top bits are modes, not reserved.
  EXPECT_EQ(SetHandflow(file_, SERIAL_ERROR_ABORT, SERIAL_XOFF_CONTINUE), STATUS_SUCCESS);
}

TEST_F(LineSettings, SpecialCharactersAreKeptButTheBlockKeepsItsFixedXonAndXoff) {
  SERIAL_CHARS chars{0x1A, 0x3F, 0x00, 0x0D, 0x21, 0x22};
  auto sent = Sent([&] { EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_SET_CHARS, BytesOf(chars)).status, STATUS_SUCCESS); });
  EXPECT_TRUE(sent.empty());
  SERIAL_CHARS reported = Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
  EXPECT_EQ(std::memcmp(&reported, &chars, sizeof chars), 0);

  sent = Sent([&] { EXPECT_EQ(SetBaud(file_, 19200), STATUS_SUCCESS); });
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(ConfigOf(sent[0]).XoffChar, CONFIG_XOFF_CHAR);
  EXPECT_EQ(ConfigOf(sent[0]).XonChar, CONFIG_XON_CHAR);
  EXPECT_EQ(Applied().xonChar, CONFIG_XON_CHAR);
}

TEST_F(LineSettings, DtrRtsAndBreakRequestsDriveTheAdaptersOutputs) {
  adapter_model::Connector& connector = model().PortConnector(kPort);
  adapter_model::Uart& uart = model().PortUart(kPort);
  struct Case {
    ULONG code;
    UCHAR command, state;
    std::function<bool()> output;
  } cases[] = {
      {IOCTL_SERIAL_CLR_DTR, COMMAND_SET_DTR, 0, [&] { return connector.Dtr(); }},
      {IOCTL_SERIAL_SET_DTR, COMMAND_SET_DTR, 1, [&] { return connector.Dtr(); }},
      {IOCTL_SERIAL_CLR_RTS, COMMAND_SET_RTS, 0, [&] { return connector.Rts(); }},
      {IOCTL_SERIAL_SET_RTS, COMMAND_SET_RTS, 1, [&] { return connector.Rts(); }},
      {IOCTL_SERIAL_SET_BREAK_ON, COMMAND_SET_BREAK, 1, [&] { return uart.BreakRequested(); }},
      {IOCTL_SERIAL_SET_BREAK_OFF, COMMAND_SET_BREAK, 0, [&] { return uart.BreakRequested(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.code);
    sim::io::Result result;
    auto sent = Sent([&] { result = Ioctl(file_, c.code); });
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(sent, (std::vector<Bytes>{{c.command, kPort, c.state}}));
    EXPECT_EQ(c.output(), c.state == 1);
  }
}

TEST_F(LineSettings, RtsIsRefusedWhileAHandshakeModeOwnsIt) {
  const ULONG refused[] = {SERIAL_RTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE};
  for (ULONG mode : refused) {
    ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_HANDSHAKE, mode), STATUS_SUCCESS);
    for (ULONG code : {IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS}) {
      auto sent = Sent([&] { EXPECT_EQ(Ioctl(file_, code).status, STATUS_INVALID_PARAMETER); });
      EXPECT_TRUE(sent.empty());
    }
    // DTR has no mode check.
    EXPECT_EQ(Sent([&] { EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS); }).size(), 1u);
  }
  ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
  auto sent = Sent([&] { EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS); });
  EXPECT_EQ(sent, (std::vector<Bytes>{{COMMAND_SET_RTS, kPort, 0}}));
  EXPECT_FALSE(model().PortConnector(kPort).Rts());
}

TEST_F(LineSettings, ModemStatusIsTheLastOneTheAdapterReported) {
  // Nothing plugged in: every input off.
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS), 0u);

  // A loopback plug feeds RTS to CTS and DTR to DSR and DCD.
  PlugLoopback(kPort);
  Settle();
  h().Advance(10 * kMillisecond);
  const ULONG states = SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_DCD | SERIAL_MSR_RI;
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS) & states, ULONG(SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_DCD));
  ASSERT_EQ(Ioctl(file_, IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
  h().Advance(10 * kMillisecond);
  ULONG status = Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS);
  EXPECT_EQ(status & states, ULONG(SERIAL_MSR_CTS));
  EXPECT_NE(status & SERIAL_MSR_DDSR, 0u);
  EXPECT_EQ(status & ~0xFFu, 0u);
}

TEST_F(LineSettings, ASettingsCommandThatCannotBeQueuedChangesNothing) {
  SERIAL_BAUD_RATE baud{19200};
  SERIAL_LINE_CONTROL line{STOP_BITS_2, EVEN_PARITY, 7};
  SERIAL_HANDFLOW flow{SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 1, 1};
  const std::pair<ULONG, Bytes> requests[] = {{IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(baud)},
                                              {IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(line)},
                                              {IOCTL_SERIAL_SET_HANDFLOW, BytesOf(flow)},
                                              {IOCTL_SERIAL_SET_RTS, {}}};
  Bytes before = Reported();
  const adapter_model::PortSettings applied = Applied();
  for (const auto& request : requests) {
    // Not a structured binding: clang 14 cannot capture one in the lambda below.
    const ULONG code = request.first;
    const Bytes& input = request.second;
    SCOPED_TRACE(testing::Message() << std::hex << code);
    sim::pool::FailNextAllocations(1, sim::pool::TagFromString("BR11"));  // the command message
    auto sent = Sent([&] { EXPECT_EQ(Ioctl(file_, code, input).status, STATUS_INSUFFICIENT_RESOURCES); });
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(Reported(), before);
    EXPECT_EQ(EncodePortConfig(kPort, Applied()), EncodePortConfig(kPort, applied));
  }
  EXPECT_EQ(SetBaud(file_, 19200), STATUS_SUCCESS);
}

// Settings requests from two applications at once, over many interleavings: the adapter ends
// with the block the port reports, and no request's change is lost.
TEST(LineSettingsRace, RacingSettingsRequestsLeaveTheAdapterWithTheReportedBlock) {
  for (uint64_t seed = 1; seed <= command_test::kSeeds; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::vector<std::string> problems = command_test::RunSeed(seed, [&](harness::DriverHarness& h,
                                                                        harness::AdapterFixture& fixture) {
      const int number = 3;
      std::u16string name = u"\\Device\\ZelBrUsb" + harness::ToU16(fixture.adapter()->SerialNumber) + u"-" +
                            harness::ToU16(std::to_string(number - 1));
      PFILE_OBJECT file = nullptr;
      ASSERT_EQ(sim::io::Open(name, &file), STATUS_SUCCESS);
      SERIAL_BAUD_RATE baud{115200};
      SERIAL_LINE_CONTROL line{STOP_BITS_2, EVEN_PARITY, 7};
      SERIAL_HANDFLOW flow{SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 16, 16};
      std::vector<NTSTATUS> statuses(3, STATUS_PENDING);
      auto request = [&](int i, ULONG code, Bytes input) {
        h.Spawn("settings " + std::to_string(i), [&, i, code, input] {
          statuses[i] = sim::io::DeviceControl(file, code, input, 0).status;
        });
      };
      request(0, IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(baud));
      request(1, IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(line));
      request(2, IOCTL_SERIAL_SET_HANDFLOW, BytesOf(flow));
      ASSERT_TRUE(h.RunUntil([&] {
        return std::count(statuses.begin(), statuses.end(), STATUS_PENDING) == 0;
      }));
      EXPECT_EQ(statuses, std::vector<NTSTATUS>(3, STATUS_SUCCESS));

      auto get = [&](ULONG code, ULONG length) { return sim::io::DeviceControl(file, code, {}, length).output; };
      EXPECT_EQ(ValueOf<SERIAL_BAUD_RATE>(get(IOCTL_SERIAL_GET_BAUD_RATE, 4)).BaudRate, 115200u);
      SERIAL_LINE_CONTROL reportedLine = ValueOf<SERIAL_LINE_CONTROL>(get(IOCTL_SERIAL_GET_LINE_CONTROL, 3));
      EXPECT_EQ(reportedLine.WordLength, 7);
      EXPECT_EQ(reportedLine.Parity, EVEN_PARITY);
      EXPECT_EQ(ValueOf<SERIAL_HANDFLOW>(get(IOCTL_SERIAL_GET_HANDFLOW, 16)).FlowReplace, SERIAL_RTS_HANDSHAKE);

      auto blocks = fixture.CommandBlocks();
      auto last = std::find_if(blocks.rbegin(), blocks.rend(), [](const Bytes& b) {
        return !b.empty() && b[0] == COMMAND_SET_CONFIGURATION && b.size() > 1 && b[1] == number;
      });
      ASSERT_NE(last, blocks.rend());
      PortConfigBlock reported = fixture.port(number)->Config;
      EXPECT_EQ(std::memcmp(last->data() + 1, &reported, sizeof reported), 0);
      const adapter_model::PortSettings& applied = fixture.model().Channel(number)->Settings();
      EXPECT_EQ(applied.format.baud, 115200u);
      EXPECT_EQ(applied.format.dataBits, 7);
      EXPECT_EQ(applied.format.parity, Parity::Even);
      EXPECT_TRUE(applied.RtsHandshake());
      EXPECT_TRUE(applied.CtsHandshake());
      sim::io::Close(file);
      h.RunUntilIdle();
    });
    EXPECT_TRUE(problems.empty()) << problems.front();
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace serial_test
