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

  ULONG Baud() { return Get<SERIAL_BAUD_RATE>(IOCTL_SERIAL_GET_BAUD_RATE).BaudRate; }
  const adapter_model::PortSettings& Applied() { return model().Channel(kPort)->Settings(); }

  PFILE_OBJECT file_ = nullptr;
};

}  // namespace serial_test
