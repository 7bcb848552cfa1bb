// A small full-speed device and a function driver stand-in for the USB bus tests. The device
// has one configuration with one interface of bulk endpoint pairs (IN 0x8n, OUT 0x0n), a
// serial-number string and a few vendor requests; the test decides per endpoint what the
// device answers. The function driver's device sits on the PDO and sends URBs to it in IRPs
// of its own, recording how and where they completed.
#pragma once

#include <atomic>

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "io_test_support.h"
#include "simkernel/usb.h"
#include "simkernel/usb_bus.h"
#include "simkernel/usb_device.h"

namespace usbtest {

using sim::usb::Handshake;
using sim::usb::SetupPacket;

constexpr uint8_t kVendorRead = 0x10;   // IN: returns Device::vendorData
constexpr uint8_t kVendorWrite = 0xA0;  // OUT: kept in Device::vendorWrites
constexpr uint8_t kVendorStall = 0x12;

class Device : public sim::usb::UsbDevice {
 public:
  explicit Device(int pairs = 2, uint16_t packetSize = 64) {
    deviceDescriptor = {18, 1, 0x10, 0x01, 0xFF, 0, 0, 64, 0x45, 0x5A, 0x01, 0x84, 0x01, 0x00, 1, 2, 3, 1};
    configuration = {9, 2, 0, 0, 1, 1, 0, 0x80, 0x32};
    configuration.insert(configuration.end(), {9, 4, 0, 0, uint8_t(pairs * 2), 0xFF, 0x01, 0x02, 0});
    for (int i = 1; i <= pairs; ++i) {
      for (uint8_t address : {uint8_t(0x80 | i), uint8_t(i)})
        configuration.insert(configuration.end(),
                             {7, 5, address, 2, uint8_t(packetSize), uint8_t(packetSize >> 8), uint8_t(i)});
    }
    configuration[2] = uint8_t(configuration.size());
    configuration[3] = uint8_t(configuration.size() >> 8);
    strings[3] = u"SN0042";
  }

  std::vector<uint8_t> GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId) override {
    descriptorReads.push_back({type, index, languageId});
    if (type == 1 && index == 0) return deviceDescriptor;
    if (type == 2 && index == 0) return configuration;
    if (type == 3 && index == 0) return {4, 3, 0x09, 0x04};
    if (type == 3 && strings.count(index) && languageId == 0x0409) {
      std::vector<uint8_t> d{uint8_t(2 + 2 * strings[index].size()), 3};
      for (char16_t c : strings[index]) d.insert(d.end(), {uint8_t(c), uint8_t(c >> 8)});
      return d;
    }
    return {};
  }

  Handshake SetConfiguration(uint8_t value) override {
    setConfigurations.push_back(value);
    if (value > 1) return Handshake::Stall;
    configured = value;
    return Handshake::Ack;
  }

  Handshake ControlTransfer(const SetupPacket& setup, std::vector<uint8_t>& data) override {
    setups.push_back(setup);
    if (setup.bRequest == kVendorStall) return Handshake::Stall;
    if (setup.bRequest == kVendorRead && (setup.bmRequestType & 0x80)) {
      data = vendorData;
      return Handshake::Ack;
    }
    if (setup.bRequest == kVendorWrite && !(setup.bmRequestType & 0x80)) {
      vendorWrites.push_back(data);
      return Handshake::Ack;
    }
    return Handshake::Stall;
  }

  Handshake BulkOut(uint8_t endpoint, std::span<const uint8_t> packet) override {
    if (detachOnPacket && port) {
      port->Detach();
      return Handshake::Ack;
    }
    if (stalled.count(endpoint)) return Handshake::Stall;
    if (naksLeft[endpoint] > 0) {
      --naksLeft[endpoint];
      return Handshake::Nak;
    }
    outPackets[endpoint].emplace_back(packet.begin(), packet.end());
    return Handshake::Ack;
  }

  Handshake BulkIn(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t>& packet) override {
    inAsks[endpoint].push_back(maxPacket);
    if (stalled.count(endpoint)) return Handshake::Stall;
    auto& queue = inQueue[endpoint];
    if (queue.empty()) return Handshake::Nak;
    packet = std::move(queue.front());
    queue.pop_front();
    return Handshake::Ack;
  }

  void ResetEndpoint(uint8_t endpoint) override {
    resets.push_back(endpoint);
    stalled.erase(endpoint);
  }

  // Back from a power loss: unconfigured, its buffered data gone; the test may change more.
  void PowerLost() override {
    ++powerLosses;
    configured = 0;
    inQueue.clear();
    if (onPowerLost) onPowerLost();
  }

  // A packet the device will return on its next IN; tells the host controller.
  void Supply(uint8_t endpoint, std::vector<uint8_t> packet) {
    inQueue[endpoint].push_back(std::move(packet));
    if (port) port->RequestPoll();
  }

  std::vector<uint8_t> Received(uint8_t endpoint) const {
    std::vector<uint8_t> all;
    if (auto it = outPackets.find(endpoint); it != outPackets.end())
      for (const auto& p : it->second) all.insert(all.end(), p.begin(), p.end());
    return all;
  }

  struct DescriptorRead {
    uint8_t type, index;
    uint16_t language;
  };

  sim::usb::UsbPort* port = nullptr;
  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configuration;
  std::map<uint8_t, std::u16string> strings;
  std::vector<DescriptorRead> descriptorReads;
  std::vector<uint8_t> setConfigurations;
  uint8_t configured = 0;
  std::vector<SetupPacket> setups;
  std::vector<uint8_t> vendorData;
  std::vector<std::vector<uint8_t>> vendorWrites;
  std::map<uint8_t, std::vector<std::vector<uint8_t>>> outPackets;
  std::map<uint8_t, std::deque<std::vector<uint8_t>>> inQueue;
  std::map<uint8_t, std::vector<size_t>> inAsks;
  std::map<uint8_t, int> naksLeft;
  std::set<uint8_t> stalled;
  std::vector<uint8_t> resets;
  bool detachOnPacket = false;
  int powerLosses = 0;
  std::function<void()> onPowerLost;
};

// One URB in an IRP of the function driver, and what became of it.
struct Submission {
  Submission() : storage(sizeof(URB) / 8 + 1, 0) {}
  explicit Submission(size_t urbBytes) : storage((std::max(urbBytes, sizeof(URB)) + 7) / 8, 0) {}
  PURB Urb() { return urbOverride ? urbOverride : reinterpret_cast<PURB>(storage.data()); }

  std::vector<uint64_t> storage;  // the URB (8-byte aligned)
  PURB urbOverride = nullptr;     // a URB made elsewhere (USBD_CreateConfigurationRequest)
  bool noUrb = false;             // Argument1 left null
  bool cancelFirst = false;       // Irp->Cancel set before the call
  std::vector<uint8_t> buffer;
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_PENDING;
  // Written after IoCallDriver while the completion may be running on another processor.
  std::atomic<bool> callReturned = false;
  bool completed = false;
  bool completedInsideCall = false;
  NTSTATUS status = STATUS_PENDING;
  KIRQL irql = 0xFF;
  std::string task;
  sim::VirtualTime when = -1;
};

class UsbBusTest : public IoTest {
 protected:
  void SetUp() override {
    IoTest::SetUp();
    device = std::make_unique<Device>(pairs);
    pdo = sim::usb::Plug(*device, &port);
    device->port = port;
    fdoDriver = LoadTestDriver(u"UsbFunction", [this](PDEVICE_OBJECT d, PIRP irp) { return FunctionDispatch(d, irp); });
    fdo = AddFunctionDevice(pdo);
  }

  // The function driver's device on top of a PDO.
  PDEVICE_OBJECT AddFunctionDevice(PDEVICE_OBJECT below) {
    PDEVICE_OBJECT created = CreateDevice(fdoDriver);
    lowerOf[created] = IoAttachDeviceToDeviceStack(created, below);
    return created;
  }

  // Everything goes down; remove also detaches and deletes, as a function driver does.
  NTSTATUS FunctionDispatch(PDEVICE_OBJECT self, PIRP irp) {
    PDEVICE_OBJECT lower = lowerOf.at(self);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_POWER) {
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(lower, irp);
    }
    const bool remove = sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (remove) {
      IoDetachDevice(lower);
      IoDeleteDevice(self);
    }
    return status;
  }

  static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* s = static_cast<Submission*>(context);
    s->completed = true;
    s->completedInsideCall = !s->callReturned;
    s->status = irp->IoStatus.Status;
    s->irql = KeGetCurrentIrql();
    sim::Task* task = sim::Machine::Current().CurrentTask();
    s->task = task ? task->name : "";
    s->when = sim::Machine::Current().Now();
    s->irp = nullptr;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  // Sends the URB from a task of the function driver, to `target` (the PDO by default).
  void Submit(Submission& s, PDEVICE_OBJECT target = nullptr) {
    target = target ? target : pdo;
    machine().RunTask("function", [&] { SubmitHere(s, target); });
  }

  void SubmitHere(Submission& s, PDEVICE_OBJECT target) {
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(target->StackSize + 1), FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = s.noUrb ? nullptr : s.Urb();
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(irp, OnComplete, &s, TRUE, TRUE, TRUE);
    if (s.cancelFirst) irp->Cancel = TRUE;
    s.irp = irp;
    s.callReturned = false;
    s.returned = IoCallDriver(target, irp);
    s.callReturned = true;
  }

  bool Finish(Submission& s, sim::VirtualTime limit = 10 * sim::kSecond) {
    return machine().RunUntil([&] { return s.completed; }, limit);
  }

  NTSTATUS Run(Submission& s, PDEVICE_OBJECT target = nullptr) {
    Submit(s, target);
    EXPECT_TRUE(Finish(s)) << "URB never completed";
    return s.status;
  }

  // ---- URBs ----
  static void Descriptor(Submission& s, uint8_t type, uint8_t index, uint16_t language, ULONG length) {
    s.buffer.assign(length, 0xCC);
    UsbBuildGetDescriptorRequest(s.Urb(), sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language,
                                 s.buffer.data(), nullptr, length, nullptr);
  }

  static void Bulk(Submission& s, PVOID pipe, ULONG length, ULONG flags) {
    if (s.buffer.size() < length) s.buffer.resize(length, 0xCC);
    UsbBuildInterruptOrBulkTransferRequest(s.Urb(), sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           s.buffer.data(), nullptr, length, flags, nullptr);
  }

  static void Vendor(Submission& s, bool in, uint8_t request, uint16_t value, uint16_t index, ULONG length) {
    if (s.buffer.size() < length) s.buffer.resize(length, 0);
    UsbBuildVendorRequest(s.Urb(), URB_FUNCTION_VENDOR_DEVICE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, 0, request, value, index,
                          s.buffer.data(), nullptr, length, nullptr);
  }

  static void PipeRequest(Submission& s, USHORT function, PVOID pipe) {
    s.Urb()->UrbHeader.Function = function;
    s.Urb()->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    s.Urb()->UrbPipeRequest.PipeHandle = pipe;
  }

  // A select-configuration URB for the device's configuration (first interface), as
  // USBD_CreateConfigurationRequest builds it; freed with the fixture.
  PURB NewSelectUrb(ULONG maximumTransferSize = 4096) {
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(Configuration(), &size);
    EXPECT_NE(urb, nullptr);
    auto& info = urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < info.NumberOfPipes; ++i) info.Pipes[i].MaximumTransferSize = maximumTransferSize;
    poolUrbs.push_back(urb);
    return urb;
  }

  PUSB_CONFIGURATION_DESCRIPTOR Configuration() {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(device->configuration.data());
  }

  // Selects the configuration; returns its interface (pipe 2i-2 is IN 0x8i, 2i-1 OUT 0x0i).
  PUSBD_INTERFACE_INFORMATION Configure(ULONG maximumTransferSize = 4096, PDEVICE_OBJECT target = nullptr) {
    auto s = std::make_unique<Submission>();
    s->urbOverride = NewSelectUrb(maximumTransferSize);
    EXPECT_EQ(Run(*s, target), STATUS_SUCCESS);
    kept.push_back(std::move(s));
    return &kept.back()->Urb()->UrbSelectConfiguration.Interface;
  }

  void TearDown() override {
    for (PURB urb : poolUrbs) ExFreePool(urb);
    IoTest::TearDown();
  }

  static std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = uint8_t(seed + i * 7 + i / 251);
    return bytes;
  }

  int pairs = 2;
  std::unique_ptr<Device> device;
  sim::usb::BusPort* port = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  PDRIVER_OBJECT fdoDriver = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
  std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> lowerOf;
  std::vector<PURB> poolUrbs;
  std::vector<std::unique_ptr<Submission>> kept;
};

}  // namespace usbtest
