// The command blocks of the protocol's examples as they travel on the bus: captured by the
// simulated bus driver and decoded by Wireshark's own USB dissector.
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "command_test_support.h"
#include "simkernel/usb_bus.h"

namespace command_test {
namespace {

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (!dir.empty() && ::access((std::filesystem::path(dir) / program).c_str(), X_OK) == 0) return true;
  return false;
}

std::string RunCommand(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return output;
  std::array<char, 4096> chunk;
  while (size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe)) output.append(chunk.data(), n);
  *status = ::pclose(pipe);
  return output;
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char digits[3];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", b);
    text += digits;
  }
  return text;
}

class CommandWire : public CommandChannelTest {
 protected:
  void TearDown() override {
    if (!path_.empty()) std::filesystem::remove(path_);
    CommandChannelTest::TearDown();
  }
  std::string path_;
};

TEST_F(CommandWire, TheExamplesAsTheCaptureShowsThem) {
  path_ = (std::filesystem::temp_directory_path() / ("zel_command_wire_" + std::to_string(::getpid()) + ".pcap"))
              .string();
  std::string error;
  ASSERT_TRUE(sim::usb::StartCapture(path_, &error)) << error;
  for (int n = 1; n <= 3; ++n) OpenPort(n);
  const PortConfigBlock config = port(1)->Config;
  ASSERT_EQ(Issue(COMMAND_SET_CONFIGURATION, Bytes((const uint8_t*)&config, (const uint8_t*)&config + 13)).status,
            STATUS_SUCCESS);
  ASSERT_EQ(Issue(COMMAND_SET_DTR, {2, 1}).status, STATUS_SUCCESS);
  ASSERT_EQ(Issue(COMMAND_ECHO, EchoPayload(3)).status, STATUS_SUCCESS);
  h().Advance(20 * kMillisecond);
  ASSERT_GT(sim::usb::StopCapture(), 0u);

  const std::vector<std::string> expected = {
      "0101", "0102", "0103", "03018025000008016e6e13116e00", "050201",
      "0e0304424f4e47" + std::string(57 * 2, '0')};
  // The monitor below the driver saw the same blocks.
  std::vector<std::string> monitored;
  for (const auto& block : Blocks()) monitored.push_back(Hex(block));
  EXPECT_EQ(monitored, expected);

  if (!OnPath("tshark")) {
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true") FAIL() << "tshark is not installed; the CI setup must install it";
    GTEST_SKIP() << "tshark is not installed (Debian package tshark); the capture is not decoded";
  }
  int status = -1;
  const std::string output = RunCommand(
      "tshark -r '" + path_ +
          "' -T fields -E separator='|' -e usb.function -e usb.endpoint_address -e usb.irp_info.direction "
          "-e usb.data_len -e usb.capdata 2>&1",
      &status);
  ASSERT_EQ(status, 0) << output;
  std::vector<std::string> decoded;
  std::stringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::stringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '|');) fields.push_back(cell);
    fields.resize(5);
    // Bulk transfers to the command endpoint, as submitted (host to device).
    if (fields[0] == "0x0009" && fields[1] == "0x07" && fields[2] == "0x00") {
      std::string data = fields[4];
      std::erase(data, ':');
      decoded.push_back(data);
      EXPECT_EQ(fields[3], std::to_string(data.size() / 2)) << line;
    }
  }
  EXPECT_EQ(decoded, expected) << output;
}

}  // namespace
}  // namespace command_test
