// Test support for the adapter model: a fresh machine and a plugged-in, configured adapter
// per test, a recording bus port, and a small stand-in for the host controller that moves
// one packet per endpoint per 1 ms frame.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "adapter_model/adapter.h"
#include "adapter_model/protocol.h"
#include "machine_fixture.h"

namespace adapter_model::testing {

using Bytes = std::vector<uint8_t>;
using sim::kMillisecond;
using sim::kSecond;
using sim::usb::Handshake;

inline Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

class RecordingPort : public sim::usb::UsbPort {
 public:
  void Detach() override {
    attached = false;
    log.push_back({Now(), "detach"});
  }
  void Attach() override {
    attached = true;
    log.push_back({Now(), "attach"});
  }
  void RequestPoll() override { ++pollRequests; }
  bool attached = false;
  uint64_t pollRequests = 0;
  std::vector<std::pair<VirtualTime, std::string>> log;
};

// One packet per endpoint per frame: queued OUT data is sent (NAKed packets are retried in
// the next frame), polled IN endpoints are read.
class FrameHost {
 public:
  struct Packet {
    VirtualTime time;
    Bytes bytes;
  };

  explicit FrameHost(sim::usb::UsbDevice& device) : device_(device) {}

  void Poll(uint8_t endpoint) {
    polled_[endpoint];
    Start();
  }
  void StopPolling(uint8_t endpoint) { polled_.erase(endpoint); }
  void Send(uint8_t endpoint, const Bytes& bytes) {
    auto& queue = out_[endpoint];
    for (size_t at = 0; at < bytes.size(); at += kPacketSize)
      queue.emplace_back(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + kPacketSize));
    Start();
  }
  size_t PacketsWaiting(uint8_t endpoint) const {
    auto it = out_.find(endpoint);
    return it == out_.end() ? 0 : it->second.size();
  }
  const std::vector<Packet>& Received(uint8_t endpoint) { return in_[endpoint]; }
  Bytes ReceivedBytes(uint8_t endpoint) {
    Bytes all;
    for (const auto& packet : in_[endpoint]) all.insert(all.end(), packet.bytes.begin(), packet.bytes.end());
    return all;
  }
  uint64_t Stalls() const { return stalls_; }
  void Stop() { frame_.Cancel(); }

 private:
  void Start() {
    if (!frame_.Pending()) frame_.After(kMillisecond, [this] { Frame(); });
  }
  void Frame() {
    for (auto& [endpoint, queue] : out_) {
      if (queue.empty()) continue;
      Handshake h = device_.BulkOut(endpoint, queue.front());
      if (h == Handshake::Ack) queue.erase(queue.begin());
      if (h == Handshake::Stall) ++stalls_;
    }
    for (auto& [endpoint, unused] : polled_) {
      Bytes packet;
      Handshake h = device_.BulkIn(endpoint, kPacketSize, packet);
      if (h == Handshake::Ack) in_[endpoint].push_back({Now(), packet});
      if (h == Handshake::Stall) ++stalls_;
    }
    frame_.After(kMillisecond, [this] { Frame(); });
  }

  sim::usb::UsbDevice& device_;
  std::map<uint8_t, int> polled_;
  std::map<uint8_t, std::vector<Bytes>> out_;
  std::map<uint8_t, std::vector<Packet>> in_;
  uint64_t stalls_ = 0;
  Alarm frame_;
};

class AdapterTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    adapter_ = std::make_unique<Adapter>(Options());
    adapter_->Plug(port_);
    ASSERT_EQ(Device().SetConfiguration(1), Handshake::Ack);
  }
  void TearDown() override {
    host_.reset();
    adapter_.reset();
    MachineTest::TearDown();
  }
  virtual AdapterOptions Options() { return {}; }

  Adapter& adapter() { return *adapter_; }
  sim::usb::UsbDevice& Device() { return adapter_->Device(); }
  SerialChannel& Channel(int port) { return *adapter_->Channel(port); }
  FrameHost& Host() {
    if (!host_) host_ = std::make_unique<FrameHost>(Device());
    return *host_;
  }

  // ---- Single packets, straight through the device interface
  Handshake Command(const Bytes& block) { return Device().BulkOut(kCommandEndpoint, block); }
  std::optional<Bytes> In(uint8_t endpoint) {
    Bytes packet;
    if (Device().BulkIn(endpoint, kPacketSize, packet) != Handshake::Ack) return std::nullopt;
    return packet;
  }
  // Every response block waiting now, one per packet.
  std::vector<Bytes> Responses() {
    std::vector<Bytes> blocks;
    while (auto block = In(kResponseEndpoint)) blocks.push_back(*block);
    return blocks;
  }
  // Data IN packets waiting now.
  std::vector<Bytes> DataPackets(int port) {
    std::vector<Bytes> packets;
    while (auto packet = In(DataInEndpoint(port))) packets.push_back(*packet);
    return packets;
  }
  Bytes DataBytes(int port) {
    Bytes all;
    for (const auto& packet : DataPackets(port)) all.insert(all.end(), packet.begin(), packet.end());
    return all;
  }
  static Bytes Ack(uint8_t code, uint8_t port) { return {response::kCommandDone, code, port}; }

  void Open(int port) {
    ASSERT_EQ(Command({command::kOpen, uint8_t(port)}), Handshake::Ack);
    Responses();
  }
  void Configure(int port, const PortSettings& settings) {
    Bytes block{command::kConfigure};
    auto config = EncodePortConfig(uint8_t(port), settings);
    block.insert(block.end(), config.begin(), config.end());
    ASSERT_EQ(Command(block), Handshake::Ack);
  }
  static PortSettings Settings(uint32_t baud, uint8_t dataBits = 8, Parity parity = Parity::None,
                               StopBits stop = StopBits::One) {
    PortSettings s;
    s.format = {baud, dataBits, parity, stop};
    return s;
  }

  RecordingPort port_;
  std::unique_ptr<Adapter> adapter_;
  std::unique_ptr<FrameHost> host_;
};

}  // namespace adapter_model::testing
