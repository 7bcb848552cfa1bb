#include "adapter_model/usb_controller.h"

#include <algorithm>
#include <utility>

namespace adapter_model {

using sim::usb::Handshake;
using sim::usb::SetupPacket;

namespace {

constexpr uint8_t kRequestTypeMask = 0x60;
constexpr uint8_t kRequestTypeStandard = 0x00;
constexpr uint8_t kRequestTypeVendor = 0x40;
constexpr uint8_t kDirectionIn = 0x80;
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kRecipientEndpoint = 0x02;
constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint8_t kSetFeature = 0x03;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint16_t kFeatureEndpointHalt = 0;

}  // namespace

UsbController::UsbController(Faults& faults, ControllerIdentity identity) : faults_(faults), identity_(identity) {}

UsbController::~UsbController() { StopProgram(); }

// ---- Board --------------------------------------------------------------------------------

void UsbController::SetBoot(Boot boot, bool runsAtPowerUp) {
  boot_ = std::move(boot);
  runsAtPowerUp_ = runsAtPowerUp;
}

void UsbController::Plug(sim::usb::UsbPort& port) {
  port_ = &port;
  if (!powered_) PowerOn();
  attached_ = true;
  port_->Attach();
}

void UsbController::Unplug() {
  const bool wasAttached = attached_;
  attached_ = false;
  PowerOff();
  if (wasAttached && port_) port_->Detach();
}

void UsbController::Replug() {
  if (attached_ || !port_) return;
  PowerOn();
  attached_ = true;
  port_->Attach();
}

void UsbController::PowerLost() {
  if (!powered_) return;
  PowerOff();
  PowerOn();
}

void UsbController::PowerOn() {
  renumerationAlarm_.Cancel();
  powered_ = true;
  std::fill(memory_.begin(), memory_.end(), 0);
  endpoints_.clear();
  configuration_ = 0;
  cpuHeld_ = true;
  programOwnsEndpointZero_ = false;
  if (runsAtPowerUp_) StartProgram(/*renumerate=*/false);
}

void UsbController::PowerOff() {
  renumerationAlarm_.Cancel();
  StopProgram();
  powered_ = false;
  cpuHeld_ = true;
  programOwnsEndpointZero_ = false;
  endpoints_.clear();
  configuration_ = 0;
}

// ---- CPU ----------------------------------------------------------------------------------

void UsbController::SetCpuReset(bool hold) {
  if (hold == cpuHeld_) return;
  if (hold) {
    StopProgram();
    cpuHeld_ = true;
  } else {
    StartProgram(/*renumerate=*/true);
  }
}

void UsbController::StartProgram(bool renumerate) {
  cpuHeld_ = false;
  if (!boot_) return;  // nothing that could run: the CPU spins without touching USB
  program_ = boot_(*this);
  if (!program_) return;
  // One that renumerates is known to the host as a device of its own from then on: endpoint
  // 0 stays its own even while the CPU is held. One that does not answers in the core's place
  // only while it runs.
  programOwnsEndpointZero_ = program_->Renumerates();
  endpoints_.clear();
  configuration_ = 0;
  program_->Start();
  if (renumerate && attached_ && program_->Renumerates()) {
    renumerationAlarm_.After(kRenumerationDetachDelay, [this] {
      if (!attached_) return;
      attached_ = false;
      port_->Detach();
      renumerationAlarm_.After(kRenumerationAttachDelay, [this] {
        if (!powered_ || !port_) return;
        attached_ = true;
        port_->Attach();
      });
    });
  }
}

void UsbController::StopProgram() {
  if (!program_) return;
  // Out of the member first: the program's own teardown must not find itself still running.
  std::unique_ptr<Program> program = std::move(program_);
  program->Stop();
}

// ---- Endpoint 0 ---------------------------------------------------------------------------

std::vector<uint8_t> UsbController::GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId) {
  if (!attached_) return {};
  if (programOwnsEndpointZero_) {
    Program* program = RunningProgram();
    return program ? program->Descriptor(type, index, languageId) : std::vector<uint8_t>{};
  }
  if (Program* program = RunningProgram()) return program->Descriptor(type, index, languageId);
  if (type == kDescriptorDevice && index == 0) {
    DeviceDescriptorInfo device;
    device.vendorId = identity_.vendorId;
    device.productId = uint16_t(identity_.productId & 0x7FFF);
    device.bcdDevice = 0x0001;
    return BuildDeviceDescriptor(device);
  }
  if (type == kDescriptorConfiguration && index == 0) {
    ConfigurationInfo configuration;
    configuration.maxPower = 0x32;
    configuration.interfaces.push_back({});
    return BuildConfigurationDescriptor(configuration);
  }
  return {};
}

Handshake UsbController::SetConfiguration(uint8_t value) {
  if (!attached_) return Handshake::Stall;
  Program* program = RunningProgram();
  if (programOwnsEndpointZero_ || program) {
    if (!program || !program->SetConfiguration(value)) return Handshake::Stall;
  } else if (value > 1) {
    return Handshake::Stall;
  }
  configuration_ = value;
  for (auto& [address, endpoint] : endpoints_) endpoint.halted = false;
  return Handshake::Ack;
}

Handshake UsbController::ControlTransfer(const SetupPacket& setup, std::vector<uint8_t>& data) {
  if (!attached_) return Handshake::Stall;
  const uint8_t type = setup.bmRequestType & kRequestTypeMask;
  if (type == kRequestTypeVendor && setup.bRequest == kRequestLoadInternal) return Loader(setup, data);
  if (type == kRequestTypeStandard) return StandardRequest(setup, data);
  if (type == kRequestTypeVendor) {
    if (Program* program = RunningProgram()) return program->VendorRequest(setup, data);
  }
  return Handshake::Stall;
}

Handshake UsbController::StandardRequest(const SetupPacket& setup, std::vector<uint8_t>& data) {
  const bool toEndpoint = (setup.bmRequestType & kRecipientMask) == kRecipientEndpoint;
  switch (setup.bRequest) {
    case kGetDescriptor: {
      auto descriptor = GetDescriptor(uint8_t(setup.wValue >> 8), uint8_t(setup.wValue), setup.wIndex);
      if (descriptor.empty()) return Handshake::Stall;
      if (descriptor.size() > setup.wLength) descriptor.resize(setup.wLength);
      data = std::move(descriptor);
      return Handshake::Ack;
    }
    case kSetConfiguration:
      return SetConfiguration(uint8_t(setup.wValue));
    case kGetConfiguration:
      data = {configuration_};
      return Handshake::Ack;
    case kGetStatus:
      data = {uint8_t(toEndpoint && Halted(uint8_t(setup.wIndex)) ? 1 : 0), 0};
      return Handshake::Ack;
    case kClearFeature:
      if (!toEndpoint || setup.wValue != kFeatureEndpointHalt) return Handshake::Stall;
      ResetEndpoint(uint8_t(setup.wIndex));
      return Handshake::Ack;
    case kSetFeature:
      if (!toEndpoint || setup.wValue != kFeatureEndpointHalt) return Handshake::Stall;
      HaltEndpoint(uint8_t(setup.wIndex));
      return Handshake::Ack;
    default:
      return Handshake::Stall;
  }
}

Handshake UsbController::Loader(const SetupPacket& setup, std::vector<uint8_t>& data) {
  const uint32_t address = setup.wValue;
  if (setup.bmRequestType & kDirectionIn) {
    const uint32_t length = setup.wLength;
    if (address == kCpuControlRegister && length <= 1) {
      data.assign(length, cpuHeld_ ? 1 : 0);
      return Handshake::Ack;
    }
    if (length > 0 && address + length - 1 > kInternalRamLast) return Handshake::Stall;
    data.assign(memory_.begin() + address, memory_.begin() + address + length);
    return Handshake::Ack;
  }
  if (data.empty()) return Handshake::Ack;
  if (address == kCpuControlRegister) {
    // Only the reset bit of the register exists.
    SetCpuReset(data[0] & 1);
    return Handshake::Ack;
  }
  if (address + data.size() - 1 > kInternalRamLast) return Handshake::Stall;
  std::copy(data.begin(), data.end(), memory_.begin() + address);
  return Handshake::Ack;
}

// ---- Bulk endpoints -----------------------------------------------------------------------

void UsbController::DefineBulkEndpoints(const std::vector<EndpointInfo>& endpoints) {
  endpoints_.clear();
  for (const auto& info : endpoints) endpoints_[info.address].info = info;
}

UsbController::Endpoint* UsbController::Bulk(uint8_t address, bool in) {
  if (!attached_ || configuration_ == 0 || bool(address & 0x80) != in) return nullptr;
  auto it = endpoints_.find(address);
  return it == endpoints_.end() ? nullptr : &it->second;
}

Handshake UsbController::Refuse(uint8_t endpoint) {
  ++stats_[endpoint].stalled;
  return Handshake::Stall;
}

void UsbController::AfterPacket(uint8_t endpoint) {
  if (faults_.CountPacket(endpoint)) faults_.UnplugAt(Now());
}

Handshake UsbController::BulkIn(uint8_t address, size_t maxPacket, std::vector<uint8_t>& packet) {
  Endpoint* endpoint = Bulk(address, true);
  if (!endpoint || endpoint->halted) return Refuse(address);
  if (faults_.TakeHalt(address)) {
    endpoint->halted = true;
    return Refuse(address);
  }
  if (faults_.TakeFailure(address)) return Refuse(address);
  if (!endpoint->armed) {
    ++stats_[address].naked;
    endpoint->naked = true;
    return Handshake::Nak;
  }
  size_t count = std::min({endpoint->buffer.size(), maxPacket, size_t(endpoint->info.maxPacketSize)});
  bool dropRest = false;
  if (auto shortening = faults_.TakeShortening(address)) {
    count = std::min(count, shortening->maxBytes);
    dropRest = shortening->dropRest;
  }
  packet.assign(endpoint->buffer.begin(), endpoint->buffer.begin() + count);
  auto& stats = stats_[address];
  ++stats.acked;
  stats.bytes += count;
  if (count == endpoint->buffer.size() || dropRest) {
    endpoint->buffer.clear();
    endpoint->armed = false;
    if (Program* program = RunningProgram()) program->InPacketTaken(address);
  } else {
    endpoint->buffer.erase(endpoint->buffer.begin(), endpoint->buffer.begin() + count);
  }
  AfterPacket(address);
  return Handshake::Ack;
}

Handshake UsbController::BulkOut(uint8_t address, std::span<const uint8_t> packet) {
  Endpoint* endpoint = Bulk(address, false);
  if (!endpoint || endpoint->halted) return Refuse(address);
  if (faults_.TakeHalt(address)) {
    endpoint->halted = true;
    return Refuse(address);
  }
  if (faults_.TakeFailure(address)) return Refuse(address);
  if (packet.size() > endpoint->info.maxPacketSize) return Refuse(address);  // babble
  if (!endpoint->buffer.empty()) {
    ++stats_[address].naked;
    endpoint->naked = true;
    return Handshake::Nak;
  }
  auto& stats = stats_[address];
  ++stats.acked;
  stats.bytes += packet.size();
  if (!packet.empty()) {
    endpoint->buffer.assign(packet.begin(), packet.end());
    if (Program* program = RunningProgram()) program->OutPacketReceived(address);
  }
  AfterPacket(address);
  return Handshake::Ack;
}

void UsbController::ResetEndpoint(uint8_t address) {
  auto it = endpoints_.find(address);
  if (it == endpoints_.end()) return;
  it->second.halted = false;
  if (Program* program = RunningProgram()) program->EndpointReset(address);
}

bool UsbController::InArmed(uint8_t address) const {
  auto it = endpoints_.find(address);
  return it != endpoints_.end() && it->second.armed;
}

void UsbController::ArmIn(uint8_t address, std::vector<uint8_t> packet) {
  auto it = endpoints_.find(address);
  if (it == endpoints_.end()) return;
  it->second.buffer = std::move(packet);
  it->second.armed = true;
  Ready(it->second);
}

void UsbController::Ready(Endpoint& endpoint) {
  if (!endpoint.naked) return;
  endpoint.naked = false;
  if (attached_ && port_) port_->RequestPoll();
}

std::vector<uint8_t> UsbController::DisarmIn(uint8_t address) {
  auto it = endpoints_.find(address);
  if (it == endpoints_.end() || !it->second.armed) return {};
  it->second.armed = false;
  return std::exchange(it->second.buffer, {});
}

const std::vector<uint8_t>& UsbController::OutData(uint8_t address) const {
  static const std::vector<uint8_t> kNone;
  auto it = endpoints_.find(address);
  return it == endpoints_.end() ? kNone : it->second.buffer;
}

void UsbController::ConsumeOut(uint8_t address, size_t count) {
  auto it = endpoints_.find(address);
  if (it == endpoints_.end()) return;
  auto& buffer = it->second.buffer;
  if (buffer.empty()) return;
  buffer.erase(buffer.begin(), buffer.begin() + std::min(count, buffer.size()));
  if (buffer.empty()) Ready(it->second);
}

void UsbController::HaltEndpoint(uint8_t address) {
  auto it = endpoints_.find(address);
  if (it != endpoints_.end()) it->second.halted = true;
}

bool UsbController::Halted(uint8_t address) const {
  auto it = endpoints_.find(address);
  return it != endpoints_.end() && it->second.halted;
}

UsbController::EndpointStats UsbController::Stats(uint8_t address) const {
  auto it = stats_.find(address);
  return it == stats_.end() ? EndpointStats{} : it->second;
}

}  // namespace adapter_model
