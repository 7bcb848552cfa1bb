#include "adapter_model/firmware.h"

#include <algorithm>

#include "adapter_model/descriptors.h"
#include "adapter_model/firmware_image.h"

namespace adapter_model {

using sim::usb::Handshake;

MainFirmware::MainFirmware(UsbController& controller, std::array<Uart*, kPortCount> uarts, Faults& faults,
                           FirmwareIdentity identity, std::span<const uint8_t> memory)
    : controller_(controller), uarts_(uarts), faults_(faults), identity_(std::move(identity)), memory_(memory) {
  // Caught here rather than when the host first asks for it.
  BuildStringDescriptor(identity_.serialNumber);
}

MainFirmware::~MainFirmware() { Stop(); }

void MainFirmware::Start() {
  std::vector<EndpointInfo> endpoints;
  for (int port = 1; port <= kPortCount; ++port) {
    endpoints.push_back({DataInEndpoint(port)});
    endpoints.push_back({DataOutEndpoint(port)});
  }
  endpoints.push_back({kResponseEndpoint});
  endpoints.push_back({kCommandEndpoint});
  controller_.DefineBulkEndpoints(endpoints);
  ChannelHost& host = *this;
  for (int i = 0; i < kPortCount; ++i) channels_[i] = std::make_unique<SerialChannel>(uint8_t(i + 1), *uarts_[i], host);
  running_ = true;
}

void MainFirmware::Stop() {
  if (!running_) return;
  running_ = false;
  lateAnswers_.clear();
  for (auto& channel : channels_) channel.reset();
  responses_.clear();
}

// ---- Endpoint 0 ---------------------------------------------------------------------------

std::vector<uint8_t> MainFirmware::Descriptor(uint8_t type, uint8_t index, uint16_t) {
  // Strings come in one language, whichever the host asks for. The image holds a placeholder
  // for the serial number, which the firmware replaces with the unit's own.
  constexpr uint8_t kSerialNumberString = 3;
  if (type == kDescriptorString && index == kSerialNumberString) return BuildStringDescriptor(identity_.serialNumber);
  return ReadStoredDescriptor(memory_, kMainDescriptorsAt, type, index);
}

bool MainFirmware::SetConfiguration(uint8_t value) { return value <= 1; }

Handshake MainFirmware::VendorRequest(const sim::usb::SetupPacket&, std::vector<uint8_t>&) {
  return Handshake::Stall;
}

// ---- Endpoint interrupts ------------------------------------------------------------------

void MainFirmware::OutPacketReceived(uint8_t endpoint) {
  if (endpoint == kCommandEndpoint) {
    std::vector<uint8_t> block = controller_.OutData(endpoint);
    controller_.ConsumeOut(endpoint, block.size());
    Execute(block);
    return;
  }
  if (endpoint >= 1 && endpoint <= kPortCount) PullTransmit(endpoint);
}

void MainFirmware::InPacketTaken(uint8_t endpoint) {
  if (endpoint == kResponseEndpoint) {
    ArmResponse();
    return;
  }
  const uint8_t port = endpoint & 0x7F;
  if (port >= 1 && port <= kPortCount) {
    markerArmed_[port - 1] = false;
    ArmDataIn(port);
  }
}

void MainFirmware::EndpointReset(uint8_t endpoint) {
  // A cleared halt keeps what was buffered; it only needs the buffer filled again.
  if (endpoint == kResponseEndpoint) ArmResponse();
  const uint8_t port = endpoint & 0x7F;
  if (port >= 1 && port <= kPortCount) {
    if (endpoint & 0x80) ArmDataIn(port);
    else PullTransmit(port);
  }
}

// ---- Commands -----------------------------------------------------------------------------

void MainFirmware::Execute(std::span<const uint8_t> block) {
  if (block.empty()) {
    ++counters_.ignored;
    return;
  }
  const uint8_t code = block[0];
  size_t needed = 0;
  switch (code) {
    case command::kOpen:
    case command::kClose:
    case command::kStatus: needed = 2; break;
    case command::kSetRts:
    case command::kSetDtr:
    case command::kSetBreak:
    case command::kPurge:
    case command::kEcho: needed = 3; break;
    case command::kConfigure: needed = 1 + kConfigBlockSize; break;
    default:
      ++counters_.ignored;
      return;
  }
  if (block.size() < needed || block[1] < 1 || block[1] > kPortCount) {
    ++counters_.rejected;
    return;
  }
  const uint8_t port = block[1];
  const Faults::CommandFate fate = faults_.TakeCommandFate(code, port);
  if (!fate.execute) {
    ++counters_.lost;
    return;
  }
  ++counters_.executed;
  SerialChannel& channel = Channel(port);
  auto acknowledge = [this, code, port] { QueueResponse({response::kCommandDone, code, port}); };

  switch (code) {
    case command::kOpen:
      DropPendingDataIn(port);
      controller_.ConsumeOut(DataOutEndpoint(port), kPacketSize);
      channel.Open();
      Answer(fate, acknowledge);
      break;
    case command::kClose:
      channel.Close();
      DropPendingDataIn(port);
      controller_.ConsumeOut(DataOutEndpoint(port), kPacketSize);
      ArmDataIn(port);
      Answer(fate, acknowledge);
      break;
    case command::kConfigure:
      channel.Configure(block.subspan(1, kConfigBlockSize));
      Answer(fate, acknowledge);
      break;
    case command::kSetRts:
      channel.SetRts(block[2] != 0);
      Answer(fate, acknowledge);
      break;
    case command::kSetDtr:
      channel.SetDtr(block[2] != 0);
      Answer(fate, acknowledge);
      break;
    case command::kSetBreak:
      channel.SetBreak(block[2] != 0);
      Answer(fate, acknowledge);
      break;
    case command::kPurge:
      if (block[2] == command::kPurgeReceive) {
        channel.PurgeReceive();
        DropPendingDataIn(port);
        ArmDataIn(port);
      } else if (block[2] == command::kPurgeTransmit) {
        channel.PurgeTransmit();
        controller_.ConsumeOut(DataOutEndpoint(port), kPacketSize);
      }
      Answer(fate, acknowledge);
      break;
    case command::kStatus:
      Answer(fate, [this, port] { QueueResponse(Channel(port).StatusReply()); });
      break;
    case command::kEcho: {
      const size_t length = std::min<size_t>(block[2], block.size() - 3);
      std::vector<uint8_t> marker(block.begin() + 3, block.begin() + 3 + length);
      Answer(fate, [this, port, marker] { Channel(port).QueueEcho(marker); });
      break;
    }
  }
}

void MainFirmware::Answer(const Faults::CommandFate& fate, std::function<void()> deliver) {
  if (!fate.answer) return;
  if (fate.delay <= 0) {
    deliver();
    return;
  }
  lateAnswers_.emplace_back();
  auto it = std::prev(lateAnswers_.end());
  it->After(fate.delay, [this, it, deliver = std::move(deliver)] {
    deliver();
    lateAnswers_.erase(it);
  });
}

// ---- Response endpoint --------------------------------------------------------------------

void MainFirmware::QueueResponse(std::vector<uint8_t> block) {
  if (responses_.size() >= kResponseQueueDepth) {
    ++counters_.responsesDropped;
    return;
  }
  responses_.push_back(std::move(block));
  ArmResponse();
}

void MainFirmware::QueueEvent(uint8_t port, uint8_t flags, uint8_t value) {
  // An event of the same kind still waiting here takes the news: states from the latest,
  // change and error bits from both.
  for (auto& block : responses_) {
    if (block.size() == 4 && block[0] == response::kEvent && block[1] == port && block[2] == flags) {
      block[3] = flags == response::kModemStatusChanged ? uint8_t((value & 0xF0) | ((block[3] | value) & 0x0F))
                                                        : uint8_t(block[3] | value);
      return;
    }
  }
  QueueResponse({response::kEvent, port, flags, value});
}

void MainFirmware::ArmResponse() {
  if (!running_ || responses_.empty() || controller_.InArmed(kResponseEndpoint)) return;
  controller_.ArmIn(kResponseEndpoint, std::move(responses_.front()));
  responses_.pop_front();
}

// ---- Data endpoints -----------------------------------------------------------------------

void MainFirmware::ArmDataIn(uint8_t port) {
  const uint8_t endpoint = DataInEndpoint(port);
  if (!running_ || controller_.InArmed(endpoint)) return;
  auto packet = Channel(port).TakeReceivePacket(kPacketSize);
  if (!packet) return;
  markerArmed_[port - 1] = packet->marker;
  controller_.ArmIn(endpoint, std::move(packet->bytes));
}

void MainFirmware::DropPendingDataIn(uint8_t port) {
  if (markerArmed_[port - 1]) return;
  controller_.DisarmIn(DataInEndpoint(port));
}

void MainFirmware::PullTransmit(uint8_t port) {
  if (!running_) return;
  // Taking bytes may start the UART, which frees room and asks for more while the outer
  // pull has not yet consumed what it took: that request is served by the outer loop.
  if (pulling_[port - 1]) {
    pullAgain_[port - 1] = true;
    return;
  }
  pulling_[port - 1] = true;
  const uint8_t endpoint = DataOutEndpoint(port);
  do {
    pullAgain_[port - 1] = false;
    const std::vector<uint8_t> waiting = controller_.OutData(endpoint);
    if (waiting.empty()) break;
    const size_t taken = Channel(port).AcceptTransmit(waiting);
    controller_.ConsumeOut(endpoint, taken);
  } while (pullAgain_[port - 1]);
  pulling_[port - 1] = false;
}

}  // namespace adapter_model
