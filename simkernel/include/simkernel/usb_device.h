// What stands behind a simulated USB port, seen from the host controller: descriptors,
// endpoint 0 requests and bulk packets. Device models (the adapter) implement it; the
// simulated bus driver and its host controller drive it, one packet at a time, on the
// 1 ms frame clock. Host-only.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace sim::usb {

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};

// How a device answers one transaction.
enum class Handshake {
  Ack,    // data taken (OUT) or returned (IN)
  Nak,    // not ready now; the host controller retries in a later frame
  Stall,  // the endpoint is halted until reset
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // Standard requests. An empty answer stalls the request.
  virtual std::vector<uint8_t> GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId) = 0;
  virtual Handshake SetConfiguration(uint8_t configurationValue) = 0;

  // Vendor and class requests on endpoint 0. For an IN request `data` is filled (at most
  // wLength bytes); for an OUT request it holds the wLength bytes sent.
  virtual Handshake ControlTransfer(const SetupPacket& setup, std::vector<uint8_t>& data) = 0;

  // One bulk packet (at most the endpoint's maximum packet size).
  virtual Handshake BulkOut(uint8_t endpointAddress, std::span<const uint8_t> packet) = 0;
  virtual Handshake BulkIn(uint8_t endpointAddress, size_t maxPacket, std::vector<uint8_t>& packet) = 0;

  // Clears a halt and the data toggle (the bus driver's pipe reset).
  virtual void ResetEndpoint(uint8_t endpointAddress) = 0;

  // The device lost its bus power while its port was suspended and has it back: whatever it
  // kept in RAM is gone, as after an unplug and replug. The bus then presents it anew.
  virtual void PowerLost() {}
};

// What a device can ask of the port it is plugged into: detach (unplug or CPU reset that
// re-enumerates) and attach again, possibly presenting itself anew.
class UsbPort {
 public:
  virtual ~UsbPort() = default;
  virtual void Detach() = 0;
  virtual void Attach() = 0;
  // An endpoint that answered NAK may be ready now (an IN packet armed, an OUT buffer
  // emptied). The host controller does not poll a NAKing endpoint again until told, so that
  // an idle bus lets virtual time stand still.
  virtual void RequestPoll() {}
};

}  // namespace sim::usb
