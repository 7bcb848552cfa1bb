// USB captures are pcap files that Wireshark's own decoder reads back record by record.
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "machine_fixture.h"
#include "simkernel/usb_capture.h"

namespace {

using sim::usb::Capture;
using sim::usb::PcapTransfer;
using sim::usb::SetupPacket;

std::filesystem::path TempPath(const std::string& name) {
  return std::filesystem::temp_directory_path() /
         ("zel_usb_capture_" + std::to_string(::getpid()) + "_" + name);
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint64_t Le(const std::vector<uint8_t>& bytes, size_t offset, int size) {
  uint64_t v = 0;
  for (int i = size - 1; i >= 0; --i) v = v << 8 | bytes.at(offset + i);
  return v;
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && ::access((std::filesystem::path(dir) / program).c_str(), X_OK) == 0) return true;
  return false;
}

struct CommandResult {
  int status = -1;
  std::string output;
};

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> chunk;
  while (size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe)) result.output.append(chunk.data(), n);
  result.status = ::pclose(pipe);
  return result;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::stringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.push_back("");
  return parts;
}

class UsbCapture : public MachineTest {
 protected:
  void TearDown() override {
    for (auto& path : paths_) std::filesystem::remove(path);
    MachineTest::TearDown();
  }
  std::filesystem::path NewPath(const std::string& name) {
    paths_.push_back(TempPath(name));
    return paths_.back();
  }

 private:
  std::vector<std::filesystem::path> paths_;
};

TEST_F(UsbCapture, RecordsFollowTheUsbPcapLayoutWithVirtualTimestamps) {
  const auto path = NewPath("layout.pcap");
  machine().RunFor(3 * sim::kSecond + 2500 * 10);  // 3.0025 s
  {
    auto capture = Capture::Open(path.string());
    ASSERT_NE(capture, nullptr);
    capture->SetDevice(2, 5);
    const std::vector<uint8_t> payload = {0xDE, 0xAD, 0xBE, 0xEF};
    capture->RecordSubmit(0x1122334455667788ull, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x02, PcapTransfer::Bulk,
                          std::nullopt, payload);
    capture->RecordComplete(0x1122334455667788ull, USBD_STATUS_DEV_NOT_RESPONDING,
                            URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x02, PcapTransfer::Bulk, payload);
    EXPECT_EQ(capture->RecordCount(), 2u);
    EXPECT_FALSE(capture->Failed());
  }
  const auto bytes = ReadFile(path);
  ASSERT_EQ(bytes.size(), 24u + (16 + 27 + 4) + (16 + 27));
  EXPECT_EQ(Le(bytes, 0, 4), 0xA1B23C4Du);
  EXPECT_EQ(Le(bytes, 20, 4), 249u);

  const size_t r = 24;  // first record: submission with the OUT payload
  EXPECT_EQ(Le(bytes, r + 0, 4), uint64_t(sim::usb::kCaptureEpochSeconds + 3));
  EXPECT_EQ(Le(bytes, r + 4, 4), 2'500'000u) << "nanoseconds";
  EXPECT_EQ(Le(bytes, r + 8, 4), 31u);
  EXPECT_EQ(Le(bytes, r + 12, 4), 31u);
  const size_t h = r + 16;
  EXPECT_EQ(Le(bytes, h + 0, 2), 27u);
  EXPECT_EQ(Le(bytes, h + 2, 8), 0x1122334455667788ull);
  EXPECT_EQ(Le(bytes, h + 10, 4), 0u);
  EXPECT_EQ(Le(bytes, h + 14, 2), uint64_t(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER));
  EXPECT_EQ(bytes[h + 16], 0) << "submission";
  EXPECT_EQ(Le(bytes, h + 17, 2), 2u);
  EXPECT_EQ(Le(bytes, h + 19, 2), 5u);
  EXPECT_EQ(bytes[h + 21], 0x02);
  EXPECT_EQ(bytes[h + 22], 3) << "bulk";
  EXPECT_EQ(Le(bytes, h + 23, 4), 4u);
  EXPECT_EQ(Le(bytes, h + 27, 4), 0xEFBEADDEu);

  const size_t c = h + 31 + 16;  // completion of an OUT transfer carries no data
  EXPECT_EQ(Le(bytes, c + 10, 4), uint64_t(uint32_t(USBD_STATUS_DEV_NOT_RESPONDING)));
  EXPECT_EQ(bytes[c + 16], 1) << "completion";
  EXPECT_EQ(Le(bytes, c + 23, 4), 0u);
}

TEST_F(UsbCapture, OpenReportsAnUnwritablePath) {
  std::string error;
  EXPECT_EQ(Capture::Open("/nonexistent-dir/x.pcap", &error), nullptr);
  EXPECT_NE(error.find("/nonexistent-dir/x.pcap"), std::string::npos) << error;
}

// A scripted exchange written through the URB entry points the bus driver uses, then decoded
// by tshark. One line per record: the fields below, '|'-separated.
TEST_F(UsbCapture, WiresharkDecodesEveryRecordOfAScriptedExchange) {
  if (!OnPath("tshark")) {
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true") FAIL() << "tshark is not installed; the CI setup must install it";
    GTEST_SKIP() << "tshark is not installed (Debian package tshark); the capture is not decoded";
  }
  const auto path = NewPath("exchange.pcap");
  {
    auto capture = Capture::Open(path.string());
    ASSERT_NE(capture, nullptr);
    URB urb = {};

    // GET DESCRIPTOR (device), 18 bytes back.
    std::array<uint8_t, 18> device = {18, 1, 0x10, 0x01, 0xFF, 0xFF, 0xFF, 64, 0x34, 0x12,
                                      0x01, 0x80, 0x00, 0x01, 0, 0, 0, 1};
    UsbBuildGetDescriptorRequest(&urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device.data(), nullptr, 18, nullptr);
    capture->RecordUrbSubmit(0x100, &urb);
    machine().RunFor(sim::kMillisecond);
    urb.UrbHeader.Status = USBD_STATUS_SUCCESS;
    capture->RecordUrbComplete(0x100, &urb);

    // Vendor request with two bytes OUT.
    std::array<uint8_t, 2> poke = {0x01, 0x02};
    urb = {};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_OUT, 0, 0xA0, 0xE600, 0, poke.data(), nullptr, 2, nullptr);
    capture->RecordUrbSubmit(0x200, &urb);
    capture->RecordUrbComplete(0x200, &urb);

    // Bulk OUT on the command pipe.
    std::array<uint8_t, 5> command = {0x03, 0x01, 0x80, 0x25, 0x00};
    urb = {};
    UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), nullptr,
                                           command.data(), nullptr, 5, USBD_TRANSFER_DIRECTION_OUT, nullptr);
    capture->RecordUrbSubmit(0x300, &urb, 0x07);
    capture->RecordUrbComplete(0x300, &urb, 0x07);

    // Bulk IN on the response pipe: 64 bytes asked, 3 returned.
    std::array<uint8_t, 64> response = {};
    urb = {};
    UsbBuildInterruptOrBulkTransferRequest(&urb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), nullptr,
                                           response.data(), nullptr, 64,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    capture->RecordUrbSubmit(0x400, &urb, 0x87);
    response[0] = 0x0C;
    response[1] = 0x02;
    response[2] = 0xFE;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 3;
    capture->RecordUrbComplete(0x400, &urb, 0x87);

    // A data IN transfer that fails: the endpoint stalled, nothing returned.
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 64;
    capture->RecordUrbSubmit(0x500, &urb, 0x81);
    urb.UrbHeader.Status = USBD_STATUS_STALL_PID;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    capture->RecordUrbComplete(0x500, &urb, 0x81);

    // The pipe reset that follows carries no transfer.
    urb = {};
    urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    capture->RecordUrbSubmit(0x600, &urb, 0x81);
    capture->RecordUrbComplete(0x600, &urb, 0x81);
    EXPECT_EQ(capture->RecordCount(), 12u);
  }

  const std::string fields =
      "-e usb.function -e usb.endpoint_address -e usb.transfer_type -e usb.irp_info.direction -e usb.data_len "
      "-e usb.control_stage -e usb.setup.bRequest -e usb.bDescriptorType -e usb.usbd_status -e usb.irp_id "
      "-e usb.idVendor -e usb.data_fragment -e usb.capdata -e frame.time_epoch";
  const auto result = RunCommand("tshark -r '" + path.string() + "' -T fields -E separator='|' " + fields + " 2>&1");
  ASSERT_EQ(result.status, 0) << result.output;

  std::vector<std::vector<std::string>> rows;
  for (const auto& line : Split(result.output, '\n'))
    if (line.find('|') != std::string::npos) rows.push_back(Split(line, '|'));
  ASSERT_EQ(rows.size(), 12u) << result.output;
  enum {
    Function, Endpoint, Type, Direction, Length, Stage, Request, DescType, Status, Irp, Vendor, Fragment, Data, Time
  };
  for (auto& row : rows) ASSERT_EQ(row.size(), size_t(Time) + 1) << result.output;

  // GET DESCRIPTOR: SETUP stage with the 8-byte setup packet, COMPLETE stage with the descriptor.
  EXPECT_EQ(rows[0][Function], "0x000b");
  EXPECT_EQ(rows[0][Endpoint], "0x80");
  EXPECT_EQ(rows[0][Type], "0x02");
  EXPECT_EQ(rows[0][Direction], "0x00");
  EXPECT_EQ(rows[0][Length], "8");
  EXPECT_EQ(rows[0][Stage], "0");
  EXPECT_EQ(rows[0][Request], "6");
  EXPECT_EQ(rows[0][DescType], "0x01");
  EXPECT_EQ(rows[0][Irp], "0x0000000000000100");
  EXPECT_EQ(rows[0][Time], "946684800.000000000");
  EXPECT_EQ(rows[1][Direction], "0x01");
  EXPECT_EQ(rows[1][Stage], "3");
  EXPECT_EQ(rows[1][Length], "18");
  EXPECT_EQ(rows[1][Vendor], "0x1234") << "the response is read as a device descriptor";
  EXPECT_EQ(rows[1][Irp], "0x0000000000000100");
  EXPECT_EQ(rows[1][Time], "946684800.001000000");

  // Vendor OUT request: setup then data on submission, nothing on completion.
  EXPECT_EQ(rows[2][Function], "0x0017");
  EXPECT_EQ(rows[2][Endpoint], "0x00");
  EXPECT_EQ(rows[2][Stage], "0");
  EXPECT_EQ(rows[2][Request], "160");
  EXPECT_EQ(rows[2][Length], "10");
  EXPECT_EQ(rows[2][Fragment], "0102");
  EXPECT_EQ(rows[3][Stage], "3");
  EXPECT_EQ(rows[3][Length], "0");

  // Bulk OUT: payload on submission only.
  EXPECT_EQ(rows[4][Function], "0x0009");
  EXPECT_EQ(rows[4][Endpoint], "0x07");
  EXPECT_EQ(rows[4][Type], "0x03");
  EXPECT_EQ(rows[4][Direction], "0x00");
  EXPECT_EQ(rows[4][Data], "0301802500");
  EXPECT_EQ(rows[5][Direction], "0x01");
  EXPECT_EQ(rows[5][Length], "0");
  EXPECT_EQ(rows[5][Data], "");

  // Bulk IN: empty submission, the bytes returned on completion.
  EXPECT_EQ(rows[6][Endpoint], "0x87");
  EXPECT_EQ(rows[6][Length], "0");
  EXPECT_EQ(rows[7][Endpoint], "0x87");
  EXPECT_EQ(rows[7][Direction], "0x01");
  EXPECT_EQ(rows[7][Length], "3");
  EXPECT_EQ(rows[7][Data], "0c02fe");
  EXPECT_EQ(rows[7][Status], "0x00000000");

  // The failed transfer keeps its USBD status.
  EXPECT_EQ(rows[9][Endpoint], "0x81");
  EXPECT_EQ(rows[9][Status], "0xc0000004");
  EXPECT_EQ(rows[9][Length], "0");

  // Pipe reset: IRP information only.
  EXPECT_EQ(rows[10][Function], "0x001e");
  EXPECT_EQ(rows[10][Type], "0xfe");
  EXPECT_EQ(rows[11][Type], "0xfe");
  EXPECT_EQ(rows[11][Direction], "0x01");
}

}  // namespace
