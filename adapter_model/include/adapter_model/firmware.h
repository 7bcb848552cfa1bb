// The main firmware's behaviour, as a program for the USB controller: it presents the
// descriptors the main image keeps in memory at 0x1200 (ten bulk endpoints, bit 15 of the
// product id set) with the unit's own serial number as string 3, decodes command
// blocks from the command endpoint, answers on the response endpoint (command complete,
// status replies, modem and line events) and moves each port's data between its endpoints
// and its serial channel.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "adapter_model/faults.h"
#include "adapter_model/serial_channel.h"
#include "adapter_model/usb_controller.h"

namespace adapter_model {

// What the main firmware reports of the unit it runs on.
struct FirmwareIdentity {
  // Empty: the Adapter gives the unit one of its own (see Adapter::SerialNumber).
  std::string serialNumber;
};

class MainFirmware : public Program, private ChannelHost {
 public:
  // Blocks waiting for the host beyond this are dropped (and counted).
  static constexpr size_t kResponseQueueDepth = 32;

  // `memory` holds the image the firmware runs from: the controller's RAM, or a copy of the
  // image for a board that starts without a download.
  MainFirmware(UsbController& controller, std::array<Uart*, kPortCount> uarts, Faults& faults,
               FirmwareIdentity identity, std::span<const uint8_t> memory);
  ~MainFirmware() override;

  // ---- Program
  void Start() override;
  void Stop() override;
  std::vector<uint8_t> Descriptor(uint8_t type, uint8_t index, uint16_t languageId) override;
  bool SetConfiguration(uint8_t value) override;
  sim::usb::Handshake VendorRequest(const sim::usb::SetupPacket& setup, std::vector<uint8_t>& data) override;
  void OutPacketReceived(uint8_t endpoint) override;
  void InPacketTaken(uint8_t endpoint) override;
  void EndpointReset(uint8_t endpoint) override;

  // ---- State, for tests
  SerialChannel& Channel(int port) { return *channels_.at(port - 1); }
  size_t ResponsesWaiting() const { return responses_.size(); }
  struct CommandCounters {
    uint64_t executed = 0;
    uint64_t ignored = 0;   // unknown or empty
    uint64_t rejected = 0;  // too short or naming no port
    uint64_t lost = 0;      // dropped by a fault
    uint64_t responsesDropped = 0;
  };
  const CommandCounters& Counters() const { return counters_; }

 private:
  void Execute(std::span<const uint8_t> block);
  // Delivers an answer now, later, or never, as the faults decide.
  void Answer(const Faults::CommandFate& fate, std::function<void()> deliver);
  void QueueResponse(std::vector<uint8_t> block);
  void ArmResponse();
  void ArmDataIn(uint8_t port);
  // Drops the data packet the host has not fetched yet (an echo marker stays).
  void DropPendingDataIn(uint8_t port);
  void PullTransmit(uint8_t port);

  // ChannelHost
  void QueueEvent(uint8_t port, uint8_t flags, uint8_t value) override;
  void ReceiveDataReady(uint8_t port) override { ArmDataIn(port); }
  void TransmitRoomFreed(uint8_t port) override { PullTransmit(port); }

  UsbController& controller_;
  std::array<Uart*, kPortCount> uarts_;
  Faults& faults_;
  FirmwareIdentity identity_;
  std::span<const uint8_t> memory_;
  std::array<std::unique_ptr<SerialChannel>, kPortCount> channels_;
  std::array<bool, kPortCount> markerArmed_{};
  std::array<bool, kPortCount> pulling_{};
  std::array<bool, kPortCount> pullAgain_{};
  std::deque<std::vector<uint8_t>> responses_;
  std::list<Alarm> lateAnswers_;
  CommandCounters counters_;
  bool running_ = false;
};

}  // namespace adapter_model
