// The adapter's USB controller: an 8051-based part with its own RAM, an on-chip loader that
// serves vendor request 0xA0 in hardware (write or read internal RAM; the CPU control
// register at 0x7F92 holds the CPU in reset or lets it run), and endpoint buffers that the
// program on the CPU fills and empties. Until a program takes endpoint 0 over, the
// controller enumerates with its own identity and no bulk endpoints; a program that starts
// running takes it over and re-attaches (renumerates) to present its own descriptors.
//
// What the CPU runs is a Program, which the board's boot hook picks when the CPU leaves reset
// (the behavioural loader or main firmware, by what RAM holds); an emulated 8051 executing
// the RAM image can take their place.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "adapter_model/clock.h"
#include "adapter_model/descriptors.h"
#include "adapter_model/faults.h"
#include "simkernel/usb_device.h"

namespace adapter_model {

class UsbController;

class Program {
 public:
  virtual ~Program() = default;
  // The CPU starts running this program.
  virtual void Start() = 0;
  // The CPU is about to be held in reset or to lose power: every activity ends.
  virtual void Stop() = 0;
  // Endpoint 0, which the program owns once it runs.
  virtual std::vector<uint8_t> Descriptor(uint8_t type, uint8_t index, uint16_t languageId) = 0;
  virtual bool SetConfiguration(uint8_t value) = 0;
  virtual sim::usb::Handshake VendorRequest(const sim::usb::SetupPacket& setup, std::vector<uint8_t>& data) = 0;
  // Endpoint interrupts: an OUT buffer was filled, an IN buffer was sent, a halt was cleared.
  virtual void OutPacketReceived(uint8_t endpoint) = 0;
  virtual void InPacketTaken(uint8_t endpoint) = 0;
  virtual void EndpointReset(uint8_t endpoint) = 0;
  // A program that renumerates leaves the bus and comes back as a device of its own; one
  // that does not answers endpoint 0 on the address and configuration the host gave the core,
  // and while the CPU is held the core answers again.
  virtual bool Renumerates() const { return true; }
};

// The controller's own identity, presented while no program has taken endpoint 0 over.
struct ControllerIdentity {
  uint16_t vendorId = 0x5A45;
  uint16_t productId = 0x0421;  // bit 15 clear: no firmware runs
};

class UsbController : public sim::usb::UsbDevice {
 public:
  static constexpr uint8_t kRequestLoadInternal = 0xA0;
  static constexpr uint16_t kInternalRamLast = 0x1B3F;
  static constexpr uint16_t kCpuControlRegister = 0x7F92;
  static constexpr size_t kMemorySize = 0x10000;
  // A started program disconnects shortly after the request that released the CPU has
  // completed, and connects again once it is ready to answer.
  static constexpr VirtualTime kRenumerationDetachDelay = 1 * sim::kMillisecond;
  static constexpr VirtualTime kRenumerationAttachDelay = 10 * sim::kMillisecond;

  // What the CPU finds to run when it leaves reset.
  using Boot = std::function<std::unique_ptr<Program>(UsbController&)>;

  explicit UsbController(Faults& faults, ControllerIdentity identity = {});
  ~UsbController() override;

  // ---- UsbDevice. While detached every request stalls.
  std::vector<uint8_t> GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId) override;
  sim::usb::Handshake SetConfiguration(uint8_t configurationValue) override;
  sim::usb::Handshake ControlTransfer(const sim::usb::SetupPacket& setup, std::vector<uint8_t>& data) override;
  sim::usb::Handshake BulkOut(uint8_t endpointAddress, std::span<const uint8_t> packet) override;
  sim::usb::Handshake BulkIn(uint8_t endpointAddress, size_t maxPacket, std::vector<uint8_t>& packet) override;
  void ResetEndpoint(uint8_t endpointAddress) override;
  // Power gone and back while the port slept: as Unplug then Replug, without leaving the
  // port (the bus presents the device anew itself).
  void PowerLost() override;

  // ---- Board. `runsAtPowerUp` stands for a board that starts its program by itself.
  void SetBoot(Boot boot, bool runsAtPowerUp);
  // Remembers the bus port, powers the board if needed and attaches.
  void Plug(sim::usb::UsbPort& port);
  // Detaches and loses power: RAM, program and buffers are gone.
  void Unplug();
  // Power again and attach to the same port.
  void Replug();
  bool Powered() const { return powered_; }
  bool Attached() const { return attached_; }

  // ---- CPU, as the control register sets it.
  void SetCpuReset(bool hold);
  bool CpuHeld() const { return cpuHeld_; }
  Program* RunningProgram() const { return cpuHeld_ ? nullptr : program_.get(); }

  // ---- Memory
  uint8_t Peek(uint16_t address) const { return memory_[address]; }
  std::span<const uint8_t> Memory() const { return memory_; }
  void Poke(uint16_t address, uint8_t value) { memory_[address] = value; }

  // ---- Endpoint hardware, for the running program
  void DefineBulkEndpoints(const std::vector<EndpointInfo>& endpoints);
  bool InArmed(uint8_t endpoint) const;
  // Hands a packet to the hardware; the host gets it on its next IN.
  void ArmIn(uint8_t endpoint, std::vector<uint8_t> packet);
  // Takes back a packet the host has not fetched yet.
  std::vector<uint8_t> DisarmIn(uint8_t endpoint);
  // The packet waiting in an OUT buffer; empty when the buffer is free.
  const std::vector<uint8_t>& OutData(uint8_t endpoint) const;
  // The first `count` bytes were used; the buffer takes the next packet once it is empty.
  void ConsumeOut(uint8_t endpoint, size_t count);
  void HaltEndpoint(uint8_t endpoint);
  bool Halted(uint8_t endpoint) const;
  uint8_t Configuration() const { return configuration_; }

  struct EndpointStats {
    uint64_t acked = 0;
    uint64_t naked = 0;
    uint64_t stalled = 0;
    uint64_t bytes = 0;
  };
  // Kept for the controller's life, across power cycles.
  EndpointStats Stats(uint8_t endpoint) const;

 private:
  struct Endpoint {
    EndpointInfo info;
    std::vector<uint8_t> buffer;
    bool armed = false;  // IN: a packet waits for the host
    bool halted = false;
    bool naked = false;  // answered NAK since it was last ready: the host waits to be told
  };

  void PowerOn();
  void PowerOff();
  void StartProgram(bool renumerate);
  void StopProgram();
  Endpoint* Bulk(uint8_t endpoint, bool in);
  sim::usb::Handshake Refuse(uint8_t endpoint);
  sim::usb::Handshake StandardRequest(const sim::usb::SetupPacket& setup, std::vector<uint8_t>& data);
  sim::usb::Handshake Loader(const sim::usb::SetupPacket& setup, std::vector<uint8_t>& data);
  void AfterPacket(uint8_t endpoint);
  // The endpoint is ready again; a host that was turned away is asked to poll.
  void Ready(Endpoint& endpoint);

  Faults& faults_;
  ControllerIdentity identity_;
  Boot boot_;
  bool runsAtPowerUp_ = false;
  sim::usb::UsbPort* port_ = nullptr;
  bool powered_ = false;
  bool attached_ = false;
  bool cpuHeld_ = true;
  bool programOwnsEndpointZero_ = false;
  std::unique_ptr<Program> program_;
  std::vector<uint8_t> memory_ = std::vector<uint8_t>(kMemorySize);
  std::map<uint8_t, Endpoint> endpoints_;
  std::map<uint8_t, EndpointStats> stats_;
  uint8_t configuration_ = 0;
  Alarm renumerationAlarm_;
};

}  // namespace adapter_model
