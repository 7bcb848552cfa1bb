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
}

}  // namespace
}  // namespace serial_test
