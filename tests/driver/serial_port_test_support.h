// Scenarios of the serial port as an application sees it: a started adapter (the model on the
// simulated bus, harness/adapter_fixture.h), its ports opened by their device names through
// the I/O manager (IRP_MJ_CREATE with a file object) and driven by requests only; what the
// monitor, the model's UARTs and cables show afterwards.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "adapter_model/cable.h"
#include "adapter_model/protocol.h"
#include "adapter_model/scripted_peer.h"
#include "command_test_support.h"
#include "simkernel/io.h"
#include "simkernel/ntddser.h"
#include "wide_text.h"

namespace serial_test {

using command_test::Bytes;
using sim::kMillisecond;
using sim::kSecond;

constexpr ULONG kMaxUlong = 0xFFFFFFFF;

// The structure's bytes, for an input buffer.
template <class T>
Bytes BytesOf(const T& value) {
  const auto* first = reinterpret_cast<const uint8_t*>(&value);
  return Bytes(first, first + sizeof(T));
}

// The first sizeof(T) bytes of an output, zero-padded if shorter.
template <class T>
T ValueOf(const Bytes& output) {
  T value{};
  std::memcpy(&value, output.data(), std::min(output.size(), sizeof(T)));
  return value;
}

inline Bytes Pattern(size_t length, uint32_t seed) {
  Bytes bytes(length);
  uint32_t x = seed * 2654435761u + 12345;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

// "\Device\ZelBrUsb<serial number>-<index>", the port's kernel name.
inline std::u16string PortDeviceName(AdapterExtension* adapter, int number) {
  return u"\\Device\\ZelBrUsb" + harness::ToU16(adapter->SerialNumber) + u"-" +
         harness::ToU16(std::to_string(number - 1));
}

class SerialPortTest : public command_test::CommandChannelTest {
 protected:
  void TearDown() override {
    // A test that failed half way may leave handles open: close them so that the adapter's
    // removal finds the ports idle.
    Guarded([&] {
      for (auto& file : open_)
        if (file) sim::io::Close(file);
      h().RunUntilIdle();
    });
    open_.clear();
    cables_.clear();
    CommandChannelTest::TearDown();
  }

  std::u16string DeviceName(int number) { return PortDeviceName(adapter(), number); }

  // IRP_MJ_CREATE by name; the handle is closed at teardown if the test does not close it.
  NTSTATUS TryOpen(int number, PFILE_OBJECT* file) {
    NTSTATUS status = sim::io::Open(DeviceName(number), file);
    if (NT_SUCCESS(status)) open_.push_back(*file);
    return status;
  }
  PFILE_OBJECT Open(int number) {
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = TryOpen(number, &file);
    EXPECT_EQ(status, STATUS_SUCCESS) << "open of port " << number;
    return file;
  }
  // Cleanup, then close once the last reference is gone; returns the close's status.
  NTSTATUS Close(PFILE_OBJECT file) {
    std::erase(open_, file);
    NTSTATUS status = sim::io::Close(file);
    if (status == STATUS_PENDING) {
      h().RunUntil([&] { return sim::io::CloseStatus(file).has_value(); });
      status = sim::io::CloseStatus(file).value_or(STATUS_PENDING);
    }
    return status;
  }

  sim::io::Result Ioctl(PFILE_OBJECT file, ULONG code, const Bytes& input = {}, ULONG outputLength = 0) {
    return sim::io::DeviceControl(file, code, input, outputLength);
  }
  sim::io::Request IoctlAsync(PFILE_OBJECT file, ULONG code, const Bytes& input = {}, ULONG outputLength = 0) {
    return sim::io::DeviceControlAsync(file, code, input, outputLength);
  }

  NTSTATUS SetBaud(PFILE_OBJECT file, ULONG baud) {
    SERIAL_BAUD_RATE rate{baud};
    return Ioctl(file, IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(rate)).status;
  }
  NTSTATUS SetLineControl(PFILE_OBJECT file, UCHAR wordLength, UCHAR parity, UCHAR stopBits) {
    SERIAL_LINE_CONTROL line{};
    line.StopBits = stopBits;
    line.Parity = parity;
    line.WordLength = wordLength;
    return Ioctl(file, IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(line)).status;
  }
  NTSTATUS SetHandflow(PFILE_OBJECT file, ULONG controlHandShake, ULONG flowReplace, ULONG xonLimit = 2048,
                       ULONG xoffLimit = 512) {
    SERIAL_HANDFLOW flow{};
    flow.ControlHandShake = controlHandShake;
    flow.FlowReplace = flowReplace;
    flow.XonLimit = static_cast<LONG>(xonLimit);
    flow.XoffLimit = static_cast<LONG>(xoffLimit);
    return Ioctl(file, IOCTL_SERIAL_SET_HANDFLOW, BytesOf(flow)).status;
  }
  NTSTATUS SetTimeouts(PFILE_OBJECT file, ULONG interval, ULONG readMultiplier, ULONG readConstant,
                       ULONG writeMultiplier = 0, ULONG writeConstant = 0) {
    SERIAL_TIMEOUTS timeouts{interval, readMultiplier, readConstant, writeMultiplier, writeConstant};
    return Ioctl(file, IOCTL_SERIAL_SET_TIMEOUTS, BytesOf(timeouts)).status;
  }

  // Cables stay plugged until the test ends.
  void PlugLoopback(int number) {
    cables_.push_back(std::make_unique<adapter_model::LoopbackPlug>(model().PortConnector(number)));
  }
  void PlugNullModem(int a, int b) {
    cables_.push_back(
        std::make_unique<adapter_model::NullModemCable>(model().PortConnector(a), model().PortConnector(b)));
  }

  adapter_model::ScriptedPeer& PlugPeer(int number, adapter_model::LineFormat format = {}) {
    auto peer = std::make_unique<adapter_model::ScriptedPeer>(model().PortConnector(number), format);
    auto* raw = peer.get();
    cables_.push_back(std::move(peer));
    return *raw;
  }
  // Unplugs whatever cable the port has.
  void Unplug(adapter_model::Cable* cable) {
    std::erase_if(cables_, [&](const auto& owned) { return owned.get() == cable; });
  }

  // OUT data transfers on the port's data pipe, in order, as the monitor saw them.
  std::vector<Bytes> DataOut(int number) {
    std::vector<Bytes> chunks;
    for (const auto& record : fixture().Urbs(DataOutPipe(number))) chunks.push_back(record.out);
    return chunks;
  }
  // Command blocks of one code sent since an earlier count of blocks.
  std::vector<Bytes> BlocksWithCode(UCHAR code, size_t since = 0) {
    std::vector<Bytes> matching;
    for (auto& block : BlocksSince(since))
      if (!block.empty() && block[0] == code) matching.push_back(block);
    return matching;
  }

  sim::VirtualTime Tick() { return h().machine().TimeIncrement(); }

  PVOID DataInPipe(int number) { return port(number)->DataInPipe->PipeHandle; }
  PVOID DataOutPipe(int number) { return port(number)->DataOutPipe->PipeHandle; }

 private:
  std::vector<PFILE_OBJECT> open_;
  std::vector<std::unique_ptr<adapter_model::Cable>> cables_;
};

}  // namespace serial_test
