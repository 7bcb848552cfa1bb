// Capture of the USB traffic the simulated bus driver carries, as a pcap file of link type
// 249 (USBPcap) that Wireshark and tshark decode: one record per URB submission and one per
// completion, stamped with the virtual clock. Host-only.
//
// Which bytes a record carries follows USBPcap:
//   - control transfer, submission: a SETUP-stage record holding the 8-byte setup packet, then
//     the data for a host-to-device request;
//   - control transfer, completion: a COMPLETE-stage record holding the data of a
//     device-to-host request;
//   - bulk / interrupt: OUT data on submission, IN data on completion;
//   - anything else (pipe reset, abort): a bare "IRP information" record.
// Callers pass the transfer buffer on both sides; the writer keeps only the direction that
// moved data (bit 7 of the endpoint address: set = IN).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "simkernel/usb.h"
#include "simkernel/usb_device.h"

namespace sim::usb {

// USBPcap transfer type byte.
enum class PcapTransfer : uint8_t {
  Isochronous = 0,
  Interrupt = 1,
  Control = 2,
  Bulk = 3,
  IrpInfo = 0xFE,  // no transfer: URB functions such as pipe reset or abort
  Unknown = 0xFF,
};

// USBPcap control stage byte.
enum class PcapControlStage : uint8_t { Setup = 0, Data = 1, Status = 2, Complete = 3 };

// Link type and epoch of every capture; the epoch is the wall time of virtual time 0.
constexpr uint32_t kLinkTypeUsbPcap = 249;
constexpr int64_t kCaptureEpochSeconds = 946684800;  // 2000-01-01T00:00:00Z

class Capture {
 public:
  // Creates (or truncates) the file and writes the pcap file header. On failure returns null
  // and, when `error` is given, the reason.
  static std::unique_ptr<Capture> Open(const std::string& path, std::string* error = nullptr);
  ~Capture();  // flushes and closes
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Bus (root hub) number and device address written into the records that follow; 1 and 1
  // until set. A device that re-enumerates at a new address calls this again.
  void SetDevice(uint16_t bus, uint16_t deviceAddress);

  // A URB handed to the bus driver. `setup` is required for Control (without it the record is
  // written as IrpInfo); for a control transfer the direction bit of the endpoint is taken
  // from the setup packet.
  void RecordSubmit(uint64_t irpId, USHORT urbFunction, UCHAR endpoint, PcapTransfer type,
                    const std::optional<SetupPacket>& setup, std::span<const uint8_t> data);
  // The same URB given back. For a control transfer `endpoint` must carry the data direction
  // (0x80 for a device-to-host request), as on submission.
  void RecordComplete(uint64_t irpId, USBD_STATUS status, USHORT urbFunction, UCHAR endpoint, PcapTransfer type,
                      std::span<const uint8_t> data);

  // The same, read from the URB itself, for the bus driver's dispatch and completion paths.
  // `endpoint` is the pipe's endpoint address for bulk and interrupt URBs (ignored for the
  // others); `pipeType` tells bulk from interrupt. Supported as transfers: get-descriptor
  // from device, vendor and class requests, control transfers, select configuration (as
  // the SET_CONFIGURATION request it stands for), bulk/interrupt; every other function is
  // written as IrpInfo. Buffers are read through TransferBuffer, else the MDL's address.
  void RecordUrbSubmit(uint64_t irpId, const URB* urb, UCHAR endpoint = 0,
                       PcapTransfer pipeType = PcapTransfer::Bulk);
  void RecordUrbComplete(uint64_t irpId, const URB* urb, UCHAR endpoint = 0,
                         PcapTransfer pipeType = PcapTransfer::Bulk);

  void Flush();
  uint64_t RecordCount() const;
  // True once a write failed; later records are dropped rather than half written.
  bool Failed() const;

 private:
  explicit Capture(std::FILE* file);
  void Write(uint64_t irpId, USBD_STATUS status, USHORT urbFunction, bool completion, UCHAR endpoint,
             PcapTransfer type, std::optional<PcapControlStage> stage, std::span<const uint8_t> prefix,
             std::span<const uint8_t> data);
  void RecordUrb(uint64_t irpId, const URB* urb, UCHAR endpoint, PcapTransfer pipeType, bool completion);

  mutable std::mutex mutex_;
  std::FILE* file_;
  uint16_t bus_ = 1;
  uint16_t device_ = 1;
  uint64_t records_ = 0;
  bool failed_ = false;
};

}  // namespace sim::usb
