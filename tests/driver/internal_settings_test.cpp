// The internal requests of a driver layered on a port: basic settings switch the port's
// timeouts and handshake off, at the adapter too, and restoring puts them back.
#include "port_control_test_support.h"

namespace serial_test {
namespace {

class InternalSettings : public PortControlTest {
 protected:
  sim::io::Result Internal(ULONG code, const Bytes& input, ULONG outputLength) {
    return sim::io::InternalDeviceControl(port(kPort)->Self, code, input, outputLength);
  }
  SERIAL_TIMEOUTS Timeouts() { return Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS); }
  SERIAL_HANDFLOW Handflow() { return Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW); }
};

TEST_F(InternalSettings, BasicSettingsSwitchTheHandshakeOffAndRestorePutsItBack) {
  ASSERT_EQ(SetTimeouts(file_, 1, 2, 3, 4, 5), STATUS_SUCCESS);
  ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_HANDSHAKE), STATUS_SUCCESS);
  ASSERT_TRUE(Applied().CtsHandshake());

  size_t before = Blocks().size();
  sim::io::Result basic = Internal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, sizeof(SERIAL_BASIC_SETTINGS));
  ASSERT_EQ(basic.status, STATUS_SUCCESS);
  EXPECT_EQ(basic.information, 44u);
  auto old = ValueOf<SERIAL_BASIC_SETTINGS>(basic.output);
  EXPECT_EQ(old.Timeouts.ReadIntervalTimeout, 1u);
  EXPECT_EQ(old.Timeouts.WriteTotalTimeoutConstant, 5u);
  EXPECT_EQ(old.HandFlow.ControlHandShake, ULONG{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE});
  EXPECT_EQ(old.HandFlow.FlowReplace, ULONG{SERIAL_RTS_HANDSHAKE});
  EXPECT_EQ(old.RxFifo, 60u);
  EXPECT_EQ(old.TxFifo, 8u);
  SERIAL_TIMEOUTS none = Timeouts();
  EXPECT_EQ(none.ReadIntervalTimeout | none.ReadTotalTimeoutMultiplier | none.ReadTotalTimeoutConstant |
                none.WriteTotalTimeoutMultiplier | none.WriteTotalTimeoutConstant,
            0u);
  EXPECT_EQ(Handflow().ControlHandShake, 0u);
  auto blocks = BlocksWithCode(COMMAND_SET_CONFIGURATION, before);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(ConfigOf(blocks[0]).Handshake, 0u);
  EXPECT_EQ(ConfigOf(blocks[0]).FlowControl, 'n');
  EXPECT_FALSE(Applied().CtsHandshake()) << "the adapter's handshake is off";

  before = Blocks().size();
  EXPECT_EQ(Internal(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, BytesOf(old), 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Timeouts().ReadTotalTimeoutConstant, 3u);
  EXPECT_EQ(Handflow().FlowReplace, ULONG{SERIAL_RTS_HANDSHAKE});
  blocks = BlocksWithCode(COMMAND_SET_CONFIGURATION, before);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(ConfigOf(blocks[0]).Handshake, CONFIG_HANDSHAKE_RTS | CONFIG_HANDSHAKE_CTS);
  EXPECT_TRUE(Applied().CtsHandshake());
}

// What a driver layered on the port does: builds each internal request itself, sends it to the
// port's device and waits for it, switches to basic settings around its own use of the port
// and puts the application's settings back afterwards.
TEST_F(InternalSettings, ALayeredDriverSwitchesToBasicSettingsAndBack) {
  ASSERT_EQ(SetTimeouts(file_, 10, 20, 30, 40, 50), STATUS_SUCCESS);
  ASSERT_EQ(SetHandflow(file_, SERIAL_DTR_CONTROL | SERIAL_DSR_HANDSHAKE, SERIAL_XOFF_CONTINUE | SERIAL_AUTO_RECEIVE,
                        1024, 256),
            STATUS_SUCCESS);
  PlugLoopback(kPort);
  h().Advance(20 * kMillisecond);  // the adapter reports the looped-back lines
  const Bytes before = Reported();
  PDEVICE_OBJECT target = port(kPort)->Self;
  auto send = [&](ULONG code, PVOID input, ULONG inputLength, PVOID output, ULONG outputLength) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    h().RunTask("layered driver", [&] {
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IO_STATUS_BLOCK io{};
      PIRP irp = IoBuildDeviceIoControlRequest(code, target, input, inputLength, output, outputLength, TRUE, &done, &io);
      ASSERT_NE(irp, nullptr);
      status = IoCallDriver(target, irp);
      if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = io.Status;
      }
      EXPECT_EQ(io.Information, code == IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS ? sizeof(SERIAL_BASIC_SETTINGS) : 0u);
    });
    return status;
  };
  SERIAL_BASIC_SETTINGS saved{};
  ASSERT_EQ(send(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, nullptr, 0, &saved, sizeof(saved)), STATUS_SUCCESS);
  EXPECT_EQ(Handflow().ControlHandShake, 0u);
  EXPECT_EQ(Handflow().FlowReplace, 0u);
  EXPECT_EQ(Timeouts().ReadTotalTimeoutConstant, 0u);
  // The layered driver's own traffic, with nothing held back by the handshake.
  sim::io::Request read = sim::io::ReadAsync(file_, 3);
  EXPECT_EQ(sim::io::Write(file_, Bytes{1, 2, 3}).status, STATUS_SUCCESS);
  EXPECT_EQ(read.Wait().output, (Bytes{1, 2, 3}));

  ASSERT_EQ(send(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, &saved, sizeof(saved), nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(Reported(), before) << "timeouts and handshake back as they were";
  const PortConfigBlock applied = port(kPort)->Config;
  EXPECT_EQ(ULONG{applied.Handshake}, ULONG{CONFIG_HANDSHAKE_DSR}) << "and at the adapter";
}

TEST_F(InternalSettings, ShortBuffersAndOtherCodesAreRefusedWithNothingChanged) {
  ASSERT_EQ(SetTimeouts(file_, 7, 0, 0), STATUS_SUCCESS);
  const size_t before = Blocks().size();
  sim::io::Result shortOut = Internal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 43);
  EXPECT_EQ(shortOut.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(shortOut.information, 0u);
  EXPECT_EQ(Internal(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, Bytes(43, 0), 0).status, STATUS_BUFFER_TOO_SMALL);
  for (ULONG code : {ULONG(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE), ULONG(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE),
                     ULONG(IOCTL_SERIAL_SET_BAUD_RATE + 0x100)})
    EXPECT_EQ(Internal(code, Bytes(44, 0), 44).status, STATUS_INVALID_PARAMETER) << std::hex << code;
  EXPECT_TRUE(BlocksSince(before).empty());
  EXPECT_EQ(Timeouts().ReadIntervalTimeout, 7u);
}

TEST_F(InternalSettings, TheAdapterObjectRefusesThem) {
  sim::io::Result result = sim::io::InternalDeviceControl(adapter()->Self, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 44);
  EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace serial_test
