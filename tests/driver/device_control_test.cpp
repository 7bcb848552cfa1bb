// The frame every serial control request shares: codes recognised only by their exact value,
// buffers shorter than the request needs, outputs written whole and never over-reported, and
// the refusal of requests while an error aborts the port's I/O.
#include "port_control_test_support.h"

namespace serial_test {
namespace {

class DeviceControl : public PortControlTest {};

TEST_F(DeviceControl, UnknownCodesAndOtherTransferMethodsAreRefusedUntouched) {
  const ULONG codes[] = {
      IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_XOFF_COUNTER, IOCTL_SERIAL_GET_DTRRTS,
      IOCTL_SERIAL_GET_COMMCONFIG, IOCTL_SERIAL_SET_COMMCONFIG, IOCTL_SERIAL_GET_MODEM_CONTROL,
      IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_SET_FIFO_CONTROL,
      // The baud-rate and timeout functions with another method, access or device type.
      CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_NEITHER, FILE_ANY_ACCESS),
      CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_IN_DIRECT, FILE_ANY_ACCESS),
      CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_OUT_DIRECT, FILE_ANY_ACCESS),
      CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_READ_ACCESS),
      CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS),
      CTL_CODE(FILE_DEVICE_SERIAL_PORT, 7, METHOD_NEITHER, FILE_ANY_ACCESS),
      CTL_CODE(FILE_DEVICE_SERIAL_PORT, 8, METHOD_NEITHER, FILE_ANY_ACCESS),
  };
  Bytes before = Reported();
  Bytes input(20, 0);
  input[0] = 0x00;  // 19200 as a baud rate, and as a read interval
  input[1] = 0x4B;
  for (ULONG code : codes) {
    SCOPED_TRACE(testing::Message() << std::hex << code);
    sim::io::Result result;
    auto sent = Sent([&] { result = Ioctl(file_, code, input, 20); });
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(result.boost, IO_NO_INCREMENT);
    EXPECT_TRUE(sent.empty());
  }
  EXPECT_EQ(Reported(), before);
}

// Every code the port serves, with its buffer at 0, n - 1, n and n + 7 bytes: too short is
// refused with nothing sent; long enough is served, reporting exactly its output and never
// more than the caller's buffer holds.
TEST_F(DeviceControl, EveryCodeOfTheTableAtEachBufferLength) {
  PlugLoopback(kPort);
  SERIAL_BAUD_RATE baud{9600};
  SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
  SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512};
  SERIAL_CHARS chars{0, 0, 0, 0, 0x11, 0x13};
  SERIAL_TIMEOUTS timeouts{0, 0, 0, 0, 0};
  SERIAL_QUEUE_SIZE queue{4096, 4096};
  struct Code {
    ULONG code;
    Bytes input;      // a valid input; its size is the n of an input-only request
    ULONG output;     // the output's n; 0 for a request with none
    NTSTATUS served;  // the status once the buffer is long enough
  } codes[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(baud), 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(queue), 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(line), 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_SET_BREAK_ON, {}, 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_SET_BREAK_OFF, {}, 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes{'i'}, 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts), 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_GET_TIMEOUTS, {}, 20, STATUS_SUCCESS},
      {IOCTL_SERIAL_SET_DTR, {}, 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_CLR_DTR, {}, 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_RESET_DEVICE, {}, 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_SET_RTS, {}, 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_CLR_RTS, {}, 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_GET_WAIT_MASK, {}, 4, STATUS_SUCCESS},
      {IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(ULONG{0}), 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_WAIT_ON_MASK, {}, 4, STATUS_INVALID_PARAMETER},  // no mask set
      {IOCTL_SERIAL_PURGE, BytesOf(ULONG{SERIAL_PURGE_RXCLEAR}), 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_GET_BAUD_RATE, {}, 4, STATUS_SUCCESS},
      {IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3, STATUS_SUCCESS},
      {IOCTL_SERIAL_GET_CHARS, {}, 6, STATUS_SUCCESS},
      {IOCTL_SERIAL_SET_CHARS, BytesOf(chars), 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_GET_HANDFLOW, {}, 16, STATUS_SUCCESS},
      {IOCTL_SERIAL_SET_HANDFLOW, BytesOf(flow), 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4, STATUS_SUCCESS},
      {IOCTL_SERIAL_GET_COMMSTATUS, {}, 20, STATUS_SUCCESS},
      {IOCTL_SERIAL_GET_PROPERTIES, {}, 64, STATUS_SUCCESS},
      {IOCTL_SERIAL_LSRMST_INSERT, Bytes{0}, 0, STATUS_SUCCESS},
      {IOCTL_SERIAL_CONFIG_SIZE, {}, 4, STATUS_SUCCESS},
      {IOCTL_SERIAL_GET_STATS, {}, 24, STATUS_SUCCESS},
      {IOCTL_SERIAL_CLEAR_STATS, {}, 0, STATUS_SUCCESS},
  };
  for (const Code& c : codes) {
    const bool hasOutput = c.output != 0;
    const size_t n = hasOutput ? c.output : c.input.size();
    for (size_t length : {size_t{0}, n - 1, n, n + 7}) {
      if (length > n + 7) continue;  // n - 1 of a request with no buffer at all
      SCOPED_TRACE(testing::Message() << std::hex << c.code << std::dec << " length " << length);
      Bytes input = c.input;
      ULONG outputLength = 0;
      if (hasOutput) {
        outputLength = static_cast<ULONG>(length);
      } else {
        input.resize(length, 0);
      }
      sim::io::Result result;
      auto sent = Sent([&] { result = Ioctl(file_, c.code, input, outputLength); });
      EXPECT_LE(result.information, outputLength);
      if (length < n) {
        EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(result.information, 0u);
        EXPECT_TRUE(sent.empty()) << "a refused request reached the adapter";
        continue;
      }
      EXPECT_EQ(result.status, c.served);
      EXPECT_EQ(result.information, NT_SUCCESS(c.served) ? c.output : 0u);
      // The same function with METHOD_NEITHER is another request, refused before anything is read.
      const ULONG neither = (c.code & ~ULONG{3}) | METHOD_NEITHER;
      auto refused = Sent([&] { result = Ioctl(file_, neither, input, outputLength); });
      EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER) << std::hex << neither;
      EXPECT_EQ(result.information, 0u);
      EXPECT_TRUE(refused.empty());
    }
  }
}

TEST_F(DeviceControl, ShortBuffersAreRefusedAndChangeNothing) {
  SERIAL_BAUD_RATE baud{19200};
  SERIAL_LINE_CONTROL line{STOP_BIT_1, ODD_PARITY, 7};
  SERIAL_HANDFLOW flow{SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 1, 1};
  SERIAL_CHARS chars{1, 2, 3, 4, 5, 6};
  SERIAL_TIMEOUTS timeouts{1, 2, 3, 4, 5};
  SERIAL_QUEUE_SIZE queue{65536, 0};
  struct Set {
    ULONG code;
    Bytes input;
  } sets[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(baud)},     {IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(line)},
      {IOCTL_SERIAL_SET_HANDFLOW, BytesOf(flow)},      {IOCTL_SERIAL_SET_CHARS, BytesOf(chars)},
      {IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts)},  {IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(queue)},
      {IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes{'x'}},
  };
  Bytes before = Reported();
  const uint64_t buffers = sim::pool::AllocationCount(TAG_BR40);
  for (const Set& set : sets) {
    for (size_t length : {set.input.size() - 1, size_t{0}}) {
      SCOPED_TRACE(testing::Message() << std::hex << set.code << std::dec << " with " << length << " bytes");
      sim::io::Result result;
      auto sent = Sent([&] { result = Ioctl(file_, set.code, Bytes(set.input.begin(), set.input.begin() + length)); });
      EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
      EXPECT_EQ(result.information, 0u);
      EXPECT_TRUE(sent.empty());
    }
  }
  EXPECT_EQ(Reported(), before);
  EXPECT_EQ(sim::pool::AllocationCount(TAG_BR40), buffers);
  EXPECT_EQ(model().Channel(kPort)->Stats().transmitted, 0u);

  for (auto [code, size] : kGets) {
    SCOPED_TRACE(testing::Message() << std::hex << code);
    sim::io::Result result = Ioctl(file_, code, {}, size - 1);
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_TRUE(result.output.empty());
  }
}

TEST_F(DeviceControl, OutputsAreWrittenWholeAndReportOnlyTheirOwnLength) {
  ASSERT_EQ(SetTimeouts(file_, 1, 2, 3, 4, 5), STATUS_SUCCESS);
  for (auto [code, size] : kGets) {
    SCOPED_TRACE(testing::Message() << std::hex << code);
    // The system buffer still holds the caller's input when the output is written over it.
    sim::io::Result clean = Ioctl(file_, code, Bytes(32, 0x00), 32);
    sim::io::Result dirty = Ioctl(file_, code, Bytes(32, 0xA5), 32);
    EXPECT_EQ(dirty.status, STATUS_SUCCESS);
    EXPECT_EQ(dirty.information, size);
    EXPECT_EQ(dirty.boost, IO_NO_INCREMENT);
    EXPECT_EQ(dirty.output, clean.output);
  }
  EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS) >> 8, 0u);
}

TEST_F(DeviceControl, AnImmediateCharacterIsLeftPendingForTheWritePath) {
  sim::io::Result result = Ioctl(file_, IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes{'Z'});
  EXPECT_EQ(result.dispatchStatus, STATUS_PENDING);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  h().Advance(10 * kMillisecond);
  EXPECT_EQ(model().Channel(kPort)->Stats().transmitted, 1u);
}

TEST_F(DeviceControl, WhileAnErrorAbortsTheRequestsAreCancelled) {
  ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL), STATUS_SUCCESS);
  ASSERT_EQ(SetBaud(file_, 19200), STATUS_SUCCESS);  // no error yet
  // The adapter reports a parity error on the port.
  fixture().injector().Inject({RESPONSE_EVENT, kPort, EVENT_LINE_STATUS, SERIAL_LSR_PE});
  h().Advance(20 * kMillisecond);

  for (ULONG code : {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_SET_DTR}) {
    SCOPED_TRACE(testing::Message() << std::hex << code);
    sim::io::Result result;
    auto sent = Sent([&] { result = Ioctl(file_, code, Bytes(4, 0), 4); });
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(result.boost, IO_NO_INCREMENT);
    EXPECT_TRUE(sent.empty());
  }
  const ULONG baud = port(kPort)->Config.BaudRate;  // a packed field: copied before comparing
  EXPECT_EQ(baud, 19200u);

  // The wait-mask and purge requests are refused too, until the status is read.
  for (ULONG code : {IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_WAIT_ON_MASK, IOCTL_SERIAL_PURGE}) {
    EXPECT_EQ(Ioctl(file_, code, BytesOf(ULONG{SERIAL_EV_CTS}), 4).status, STATUS_CANCELLED) << std::hex << code;
  }
  sim::io::Result status = Ioctl(file_, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
  EXPECT_EQ(status.status, STATUS_SUCCESS);
  EXPECT_EQ(ValueOf<SERIAL_STATUS>(status.output).Errors, ULONG{SERIAL_ERROR_PARITY});
  EXPECT_EQ(SetBaud(file_, 38400), STATUS_SUCCESS) << "the errors read, the port serves again";
  EXPECT_EQ(Ioctl(file_, IOCTL_SERIAL_SET_WAIT_MASK, BytesOf(ULONG{SERIAL_EV_CTS})).status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace serial_test
