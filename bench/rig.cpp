#include "rig.h"

#include <cstring>
#include <stdexcept>

#include "simkernel/ntddser.h"
#include "wide_text.h"

namespace bench {
namespace {

template <class T>
std::vector<uint8_t> BytesOf(const T& value) {
  const auto* first = reinterpret_cast<const uint8_t*>(&value);
  return std::vector<uint8_t>(first, first + sizeof(T));
}

template <class T>
std::optional<T> ValueOf(const sim::io::Result& result) {
  if (result.status != STATUS_SUCCESS || result.output.size() < sizeof(T)) return std::nullopt;
  T value;
  std::memcpy(&value, result.output.data(), sizeof(T));
  return value;
}

}  // namespace

Rig::Rig(uint64_t seed) : harness_(seed) {
  NTSTATUS loaded = harness_.Load();
  if (loaded != STATUS_SUCCESS) throw std::runtime_error("DriverEntry failed: " + harness::StatusText(loaded));
  fixture_ = std::make_unique<harness::AdapterFixture>(harness_);
  fixture_->Start();
}

Rig::~Rig() {
  try {
    Finish();
  } catch (...) {
    // A machine stopped by a deadlock cannot be taken down in order; its report was taken.
  }
}

PFILE_OBJECT Rig::Open(int port) {
  const std::u16string name = u"\\Device\\ZelBrUsb" + harness::ToU16(fixture_->adapter()->SerialNumber) + u"-" +
                              harness::ToU16(std::to_string(port - 1));
  PFILE_OBJECT file = nullptr;
  NTSTATUS status = sim::io::Open(name, &file);
  if (status != STATUS_SUCCESS)
    throw std::runtime_error("open of port " + std::to_string(port) + ": " + harness::StatusText(status));
  files_[port - 1] = file;
  return file;
}

LineSetup Rig::SetLine(int port, uint32_t baud) {
  PFILE_OBJECT file = files_[port - 1];
  LineSetup setup;
  setup.requestedBaud = baud;
  SERIAL_BAUD_RATE rate{baud};
  setup.setBaud = sim::io::DeviceControl(file, IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(rate), 0).status;
  SERIAL_LINE_CONTROL line{};
  line.StopBits = STOP_BIT_1;
  line.Parity = NO_PARITY;
  line.WordLength = 8;
  setup.setLineControl = sim::io::DeviceControl(file, IOCTL_SERIAL_SET_LINE_CONTROL, BytesOf(line), 0).status;
  sim::io::Result got = sim::io::DeviceControl(file, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE));
  setup.getBaud = got.status;
  if (auto answered = ValueOf<SERIAL_BAUD_RATE>(got)) setup.driverBaud = answered->BaudRate;
  // Settings reach the UART through a command to the firmware: let it arrive.
  harness_.Advance(10 * sim::kMillisecond);
  setup.wire = model().PortUart(port).Format();
  return setup;
}

DriverCounters Rig::Counters(int port) {
  DriverCounters counters;
  sim::io::Result got =
      sim::io::DeviceControl(files_[port - 1], IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS));
  counters.status = got.status;
  if (auto stats = ValueOf<SERIALPERF_STATS>(got)) {
    counters.received = stats->ReceivedCount;
    counters.transmitted = stats->TransmittedCount;
    counters.serialOverruns = stats->SerialOverrunErrorCount;
    counters.bufferOverruns = stats->BufferOverrunErrorCount;
  }
  return counters;
}

void Rig::PlugLoopback(int port) { Plug<adapter_model::LoopbackPlug>(model().PortConnector(port)); }

PVOID Rig::DataInPipe(int port) const { return fixture_->port(port)->DataInPipe->PipeHandle; }
PVOID Rig::DataOutPipe(int port) const { return fixture_->port(port)->DataOutPipe->PipeHandle; }

std::vector<std::string> Rig::Finish() {
  if (finished_) return problems_;
  finished_ = true;
  sim::Machine& m = machine();
  try {
    if (!m.Stopped()) {
      for (PFILE_OBJECT& file : files_) {
        if (!file) continue;
        NTSTATUS status = sim::io::Close(file);
        if (status == STATUS_PENDING) {
          harness_.RunUntil([&] { return sim::io::CloseStatus(file).has_value(); });
          status = sim::io::CloseStatus(file).value_or(STATUS_PENDING);
        }
        if (status != STATUS_SUCCESS) problems_.push_back("close of a port: " + harness::StatusText(status));
        file = nullptr;
      }
      harness_.RunUntilIdle();
      cables_.clear();
      fixture_->StopAndRemove();
      harness_.Unload();
    }
  } catch (const std::exception& error) {
    problems_.push_back(std::string("teardown: ") + error.what());
  }
  for (const auto& violation : m.Violations()) problems_.push_back(violation.ToString());
  if (m.Stopped()) problems_.push_back(m.StopReport());
  return problems_;
}

}  // namespace bench
