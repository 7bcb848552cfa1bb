// The five serial WMI blocks as a WMI consumer reads them from the ports of a plugged adapter:
// registration and instance names, each block byte for byte (the consumer's buffer is poisoned,
// so an unwritten byte shows), the sizes a too-small buffer is told, refused changes, and
// requests the ports must not hand to the WMI library.
#include "removed_device_support.h"
#include "serial_port_test_support.h"
#include "wmi_test_support.h"

namespace serial_test {
namespace {

using wmi_test::kCommInfo;
using wmi_test::kCommProperties;
using wmi_test::kHardwareConfiguration;
using wmi_test::kPerformance;
using wmi_test::kPortName;
using wmi_test::kSerialBlocks;
using wmi_test::QueryBlock;

constexpr ULONG kBlockSizes[] = {10, 64, 40, 24, 68};  // COM3's name, then as the classes define them

std::u16string InstanceNameOf(PDEVICE_OBJECT port) {
  auto registration = sim::wmi::RegistrationOf(port);
  if (!registration || registration->guids.empty() || registration->guids[0].instanceNames.empty()) return u"";
  return registration->guids[0].instanceNames[0];
}

SERIAL_WMI_COMM_DATA FreshCommInfo() {
  SERIAL_WMI_COMM_DATA expected;
  std::memset(&expected, 0, sizeof expected);
  expected.BaudRate = 9600;
  expected.BitsPerByte = 8;
  expected.Parity = SERIAL_WMI_PARITY_NONE;
  expected.StopBits = SERIAL_WMI_STOP_1;
  expected.XoffCharacter = 0x13;
  expected.XonCharacter = 0x11;
  expected.MaximumBaudRate = 460800;
  expected.MaximumOutputBufferSize = 0xFFFFFFFF;
  expected.MaximumInputBufferSize = 4096;
  for (BOOLEAN* flag : {&expected.SupportDTRDSR, &expected.SupportIntervalTimeouts, &expected.SupportParityCheck,
                        &expected.SupportRTSCTS, &expected.SupportXonXoff, &expected.SettableBaudRate,
                        &expected.SettableDataBits, &expected.SettableFlowControl, &expected.SettableParity,
                        &expected.SettableParityCheck, &expected.SettableStopBits})
    *flag = TRUE;
  return expected;
}

Bytes BytesOfCommInfo(const SERIAL_WMI_COMM_DATA& data) { return BytesOf(data); }

class SerialWmi : public SerialPortTest {};

TEST_F(SerialWmi, EachPortRegistersTheFiveBlocksUnderAnInstanceNameOfItsOwn) {
  std::vector<std::u16string> names;
  for (int n = 1; n <= 4; ++n) {
    SCOPED_TRACE("port " + std::to_string(n));
    auto registration = sim::wmi::RegistrationOf(port(n)->Self);
    ASSERT_TRUE(registration.has_value());
    EXPECT_EQ(registration->pdo, port(n)->Self);
    EXPECT_EQ(registration->reginfoRequests, 1);
    ASSERT_EQ(registration->guids.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
      EXPECT_EQ(std::memcmp(&registration->guids[i].guid, &kSerialBlocks[i], sizeof(GUID)), 0) << "block " << i;
      EXPECT_EQ(registration->guids[i].instanceCount, 1u);
      EXPECT_TRUE(registration->guids[i].flags & WMIREG_FLAG_INSTANCE_PDO);
    }
    EXPECT_EQ(InstanceNameOf(port(n)->Self), fixture().PortInstancePath(n) + u"_0");
    names.push_back(InstanceNameOf(port(n)->Self));
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::unique(names.begin(), names.end()), names.end()) << "two ports share an instance name";
  EXPECT_FALSE(sim::wmi::IsRegistered(adapter()->Self));
}

TEST_F(SerialWmi, PortNameIsItsLengthThenTheNameWithoutATerminator) {
  EXPECT_EQ(QueryBlock(port(1)->Self, kPortName), (Bytes{8, 0, 'C', 0, 'O', 0, 'M', 0, '3', 0}));
  EXPECT_EQ(QueryBlock(port(4)->Self, kPortName), (Bytes{8, 0, 'C', 0, 'O', 0, 'M', 0, '6', 0}));
}

// Read at query time from the port's settings: the defaults of a started port, the limits an
// open sets, then a new baud rate and line control; busy exactly while a handle is open.
TEST_F(SerialWmi, CommInfoFollowsTheSettingsAndTheOpenHandle) {
  SERIAL_WMI_COMM_DATA expected = FreshCommInfo();
  EXPECT_EQ(QueryBlock(port(2)->Self, kCommInfo), BytesOfCommInfo(expected));

  PFILE_OBJECT file = Open(2);
  expected.IsBusy = TRUE;
  expected.XonXmitThreshold = 2048;
  expected.XoffXmitThreshold = 512;
  EXPECT_EQ(QueryBlock(port(2)->Self, kCommInfo), BytesOfCommInfo(expected));

  ASSERT_EQ(SetBaud(file, 115200), STATUS_SUCCESS);
  ASSERT_EQ(SetLineControl(file, 7, EVEN_PARITY, STOP_BITS_2), STATUS_SUCCESS);
  expected.BaudRate = 115200;
  expected.BitsPerByte = 7;
  expected.Parity = SERIAL_WMI_PARITY_EVEN;
  expected.ParityCheckEnable = TRUE;
  expected.StopBits = SERIAL_WMI_STOP_2;
  EXPECT_EQ(QueryBlock(port(2)->Self, kCommInfo), BytesOfCommInfo(expected));
  ASSERT_EQ(SetLineControl(file, 5, MARK_PARITY, STOP_BITS_1_5), STATUS_SUCCESS);
  expected.BitsPerByte = 5;
  expected.Parity = SERIAL_WMI_PARITY_MARK;
  expected.StopBits = SERIAL_WMI_STOP_1_5;
  EXPECT_EQ(QueryBlock(port(2)->Self, kCommInfo), BytesOfCommInfo(expected));

  Close(file);
  expected.IsBusy = FALSE;
  EXPECT_EQ(QueryBlock(port(2)->Self, kCommInfo), BytesOfCommInfo(expected));
}

TEST_F(SerialWmi, HardwareConfigurationIsFortyZeroBytes) {
  EXPECT_EQ(QueryBlock(port(3)->Self, kHardwareConfiguration), Bytes(40, 0));
}

TEST_F(SerialWmi, PerformanceCountersAreTheSerialStatistics) {
  PlugLoopback(1);
  PFILE_OBJECT file = Open(1);
  const Bytes data = Pattern(300, 7);
  ASSERT_EQ(sim::io::Write(file, data).status, STATUS_SUCCESS);
  sim::io::Result read = sim::io::Read(file, 300);
  ASSERT_EQ(read.output, data);

  Bytes stats = Ioctl(file, IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS)).output;
  EXPECT_EQ(ValueOf<SERIALPERF_STATS>(stats).ReceivedCount, 300u);
  EXPECT_EQ(ValueOf<SERIALPERF_STATS>(stats).TransmittedCount, 300u);
  EXPECT_EQ(QueryBlock(port(1)->Self, kPerformance), stats);

  ASSERT_EQ(Ioctl(file, IOCTL_SERIAL_CLEAR_STATS).status, STATUS_SUCCESS);
  EXPECT_EQ(QueryBlock(port(1)->Self, kPerformance), Bytes(24, 0));
}

// The serial properties with an empty provider part: no byte of the consumer's buffer left.
TEST_F(SerialWmi, CommPropertiesAreTheSerialPropertiesWithAnEmptyProviderPart) {
  PFILE_OBJECT file = Open(4);
  Bytes properties = Ioctl(file, IOCTL_SERIAL_GET_PROPERTIES, {}, sizeof(SERIAL_COMMPROP)).output;
  ASSERT_EQ(properties.size(), sizeof(SERIAL_COMMPROP));
  Bytes expected(properties.begin(), properties.begin() + 60);
  expected.resize(68, 0);
  EXPECT_EQ(QueryBlock(port(4)->Self, kCommProperties), expected);
}

// The WNODE's own part is the same for every block, so what a too-small buffer is told to
// grow to gives each block's size; one byte less than that is still too small.
TEST_F(SerialWmi, ATooSmallBufferIsToldTheSizeOfTheBlock) {
  ULONG overhead = 0;
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE("block " + std::to_string(i));
    sim::wmi::Answer small = sim::wmi::QueryAllData(port(1)->Self, kSerialBlocks[i], 64);
    ASSERT_TRUE(small.sent);
    EXPECT_EQ(small.status, STATUS_SUCCESS);
    ASSERT_TRUE(small.tooSmall);
    ASSERT_GT(small.sizeNeeded, kBlockSizes[i]);
    if (i == 0) overhead = small.sizeNeeded - kBlockSizes[i];
    EXPECT_EQ(small.sizeNeeded - kBlockSizes[i], overhead);

    EXPECT_TRUE(sim::wmi::QueryAllData(port(1)->Self, kSerialBlocks[i], small.sizeNeeded - 1).tooSmall);
    sim::wmi::Answer fits = sim::wmi::QueryAllData(port(1)->Self, kSerialBlocks[i], small.sizeNeeded);
    EXPECT_FALSE(fits.tooSmall);
    ASSERT_EQ(fits.instances.size(), 1u);
    EXPECT_EQ(fits.instances[0].data.size(), kBlockSizes[i]);
  }
  // A CommProperties buffer with room for the serial properties only.
  sim::wmi::Answer properties = sim::wmi::QueryAllData(port(1)->Self, kCommProperties, overhead + 64);
  EXPECT_TRUE(properties.tooSmall);
  EXPECT_EQ(properties.sizeNeeded, overhead + 68);
}

TEST_F(SerialWmi, EveryChangeIsRefusedAndChangesNothing) {
  const Bytes before = QueryBlock(port(2)->Self, kCommInfo);
  const std::u16string instance = InstanceNameOf(port(2)->Self);
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE("block " + std::to_string(i));
    const Bytes data(kBlockSizes[i], 0x5A);
    EXPECT_EQ(sim::wmi::SetSingleInstance(port(2)->Self, kSerialBlocks[i], instance, data).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(sim::wmi::SetSingleItem(port(2)->Self, kSerialBlocks[i], instance, 1, Bytes(4, 0x5A)).status,
              STATUS_INVALID_DEVICE_REQUEST);
  }
  EXPECT_EQ(QueryBlock(port(2)->Self, kCommInfo), before);
}

TEST_F(SerialWmi, ABlockThePortDoesNotHaveIsNotFound) {
  sim::wmi::RawRequest request;
  request.guid = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(sim::wmi::Send(port(1)->Self, request).status, STATUS_WMI_GUID_NOT_FOUND);
}

// Not a provider, the adapter leaves WMI to the USB stack below: what it answers is what the
// bus driver answers itself.
TEST_F(SerialWmi, TheAdapterPassesWmiRequestsToTheBus) {
  sim::wmi::RawRequest request;
  request.guid = kCommInfo;
  request.toTopOfStack = false;
  sim::wmi::Answer viaAdapter = sim::wmi::Send(adapter()->Self, request);
  sim::wmi::Answer atBus = sim::wmi::Send(fixture().pdo(), request);
  EXPECT_TRUE(viaAdapter.sent);
  EXPECT_EQ(viaAdapter.status, atBus.status);
  EXPECT_EQ(viaAdapter.information, atBus.information);
}

// A request for another provider reaches the bottom of the port's stack: it ends there with
// the status it came with.
TEST_F(SerialWmi, ARequestForAnotherProviderEndsWithItsOwnStatus) {
  sim::wmi::RawRequest request;
  request.guid = kCommInfo;
  request.providerId = reinterpret_cast<ULONG_PTR>(port(2)->Self);
  sim::wmi::Answer answer = sim::wmi::Send(port(1)->Self, request);
  EXPECT_EQ(answer.status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(answer.information, 0u);
}

// A stop and restart while the handle stays open: still busy, still registered once, and the
// counters go on as the serial statistics do.
TEST_F(SerialWmi, ARestartWithTheHandleOpenStaysBusyAndKeepsCounting) {
  PlugLoopback(3);
  PFILE_OBJECT file = Open(3);
  const Bytes data = Pattern(100, 3);
  ASSERT_EQ(sim::io::Write(file, data).status, STATUS_SUCCESS);
  ASSERT_EQ(sim::io::Read(file, 100).output, data);

  ASSERT_EQ(sim::pnp::Rebalance(fixture().InstancePath()), STATUS_SUCCESS);
  ASSERT_NE(port(3), nullptr);
  EXPECT_TRUE(wmi_test::CommInfoOf(port(3)->Self).IsBusy);
  EXPECT_EQ(sim::wmi::RegistrationOf(port(3)->Self)->reginfoRequests, 1);

  ASSERT_EQ(sim::io::Write(file, data).status, STATUS_SUCCESS);
  ASSERT_EQ(sim::io::Read(file, 100).output, data);
  Bytes stats = Ioctl(file, IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS)).output;
  EXPECT_EQ(ValueOf<SERIALPERF_STATS>(stats).TransmittedCount, 200u);
  EXPECT_EQ(QueryBlock(port(3)->Self, kPerformance), stats);
}

// A deleted port that a reference keeps reachable is registered no more: the request is not
// handed to the WMI library, and ends with the status it came with.
class SerialWmiRemoved : public removed_test::RemovedDeviceTest {};

TEST_F(SerialWmiRemoved, ARequestForADeletedPortEndsWithItsOwnStatus) {
  PortExtension* p = EjectedPort(2);
  EXPECT_FALSE(sim::wmi::IsRegistered(p->Self));
  sim::wmi::RawRequest request;
  request.guid = kCommInfo;
  request.toTopOfStack = false;
  sim::wmi::Answer answer = sim::wmi::Send(p->Self, request);
  EXPECT_TRUE(answer.sent);
  EXPECT_EQ(answer.status, STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace serial_test
