// Serial control requests on an open port: typed GET requests, the command blocks one step
// sent, the configuration block decoded, and what the model's channel applied.
#pragma once

#include <cstring>
#include <vector>

#include "serial_port_test_support.h"

namespace serial_test {

// The command-3 payload of a block as sent (code first).
inline PortConfigBlock ConfigOf(const Bytes& block) {
  PortConfigBlock config{};
  EXPECT_EQ(block.size(), 1 + sizeof(PortConfigBlock));
  EXPECT_EQ(block.at(0), COMMAND_SET_CONFIGURATION);
  std::memcpy(&config, block.data() + 1, std::min(block.size() - 1, sizeof(config)));
  return config;
}

class PortControlTest : public SerialPortTest {
 protected:
  static constexpr int kPort = 2;

  void SetUp() override {
    SerialPortTest::SetUp();
    if (HasFatalFailure()) return;
    file_ = Open(kPort);
    ASSERT_NE(file_, nullptr);
    Settle();
  }

  // A GET request that must succeed with exactly a T.
  template <class T>
  T Get(ULONG code) {
    sim::io::Result result = Ioctl(file_, code, {}, sizeof(T));
    EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << code;
    EXPECT_EQ(result.information, sizeof(T)) << std::hex << code;
    return ValueOf<T>(result.output);
  }

  // The command blocks a step sent.
  template <class Step>
  std::vector<Bytes> Sent(Step step) {
    size_t before = Blocks().size();
    step();
    Settle();
    return BlocksSince(before);
  }

  // The GET requests of the line settings and timeouts, with their output sizes.
  static constexpr std::pair<ULONG, ULONG> kGets[] = {
      {IOCTL_SERIAL_GET_BAUD_RATE, 4}, {IOCTL_SERIAL_GET_LINE_CONTROL, 3}, {IOCTL_SERIAL_GET_CHARS, 6},
      {IOCTL_SERIAL_GET_HANDFLOW, 16}, {IOCTL_SERIAL_GET_MODEMSTATUS, 4},  {IOCTL_SERIAL_GET_TIMEOUTS, 20},
  };
  // Everything they report, to show that a refused request changed nothing.
  Bytes Reported() {
    Bytes all;
    for (auto [code, size] : kGets) {
      Bytes output = Ioctl(file_, code, {}, size).output;
      all.insert(all.end(), output.begin(), output.end());
    }
    return all;
  }

  ULONG Baud() { return Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate; }
  const adapter_model::PortSettings& Applied() { return model().Channel(kPort)->Settings(); }

  PFILE_OBJECT file_ = nullptr;
};

}  // namespace serial_test
