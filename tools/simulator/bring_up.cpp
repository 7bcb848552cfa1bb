#include "bring_up.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "comm_port.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"

namespace simulator {
namespace {

std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }

}  // namespace

ArrivalLog::ArrivalLog(adapter_model::Uart& uart, adapter_model::SerialLine* line)
    : receiver_([&uart] { return uart.Format(); },
                [this, &uart](const adapter_model::ReceivedFrame& frame) {
                  if (skipFlow_ && (frame.value == kXon || frame.value == kXoff)) return;
                  lastEnd_ = frame.end;
                  // A UART has the character once it has sampled the middle of the first stop bit.
                  const adapter_model::LineFormat format = uart.Format();
                  const int beforeStop = 2 * (1 + format.dataBits + (format.HasParityBit() ? 1 : 0));
                  arrivals_.push_back({frame.value, frame.start + format.HalfBitOffset(beforeStop + 1),
                                       frame.framingError || frame.parityError || frame.breakCondition});
                }) {
  receiver_.Listen(line);
}

ArrivalLog::~ArrivalLog() { receiver_.Listen(nullptr); }

ArrivalLog::Arrival ArrivalLog::Pop() {
  Arrival first = arrivals_.front();
  arrivals_.pop_front();
  return first;
}

Bench::Bench(harness::DriverHarness& harness, const Options& options, Trace& trace)
    : harness_(harness), options_(options), trace_(trace) {}

Bench::~Bench() {
  try {
    UnplugAll();
  } catch (const std::exception&) {
  }
}

void Bench::Settle() {
  // Traced, the managers' log is read between the machine's steps, so each line comes out
  // near the moment it happened.
  if (trace_.On())
    harness_.RunUntil([&] {
      trace_.Poll(harness_.machine());
      return false;
    });
  else
    harness_.RunUntilIdle();
  sim::pnp::WaitIdle();
  trace_.Poll(harness_.machine(), /*force=*/true);
}

bool Bench::BringUp() {
  harness::InstallPlugAndPlayServices();
  const auto wallStart = std::chrono::steady_clock::now();
  const sim::VirtualTime start = harness_.machine().Now();
  for (int i = 0; i < options_.adapters; ++i) {
    adapter_model::AdapterOptions modelOptions;
    modelOptions.runningMainFirmware = false;
    Unit unit;
    unit.model = std::make_unique<adapter_model::Adapter>(modelOptions);
    unit.device = std::make_unique<TracedDevice>(unit.model->Device(), trace_, i + 1);
    unit.busPort = &sim::usb::AddPort(*unit.device);
    unit.model->Plug(*unit.busPort);
    units_.push_back(std::move(unit));
  }
  Settle();
  for (auto& unit : units_)
    harness_.RunUntil([&] { return unit.busPort->Presentations() >= 2; }, 5 * sim::kSecond);
  Settle();

  bool ok = true;
  const std::u16string serialComm = std::u16string(sim::registry::kDeviceMap) + u"\\SERIALCOMM";
  for (size_t i = 0; i < units_.size(); ++i) {
    Unit& unit = units_[i];
    std::printf("  adapter %zu (serial %s): blank, %llu firmware requests (%llu bytes) downloaded, presented %u times\n",
                i + 1, unit.model->SerialNumber().c_str(), static_cast<unsigned long long>(unit.device->DownloadRequests()),
                static_cast<unsigned long long>(unit.device->DownloadBytes()), unit.busPort->Presentations());
    std::printf("    ports:");
    for (int number = 1; number <= 4; ++number) {
      BenchPort port;
      port.adapter = int(i) + 1;
      port.number = number;
      const std::u16string kernelName = u"\\Device\\ZelBrUsb" +
                                        std::u16string(unit.model->SerialNumber().begin(), unit.model->SerialNumber().end()) +
                                        u"-" + char16_t(u'0' + number - 1);
      port.com = Narrow(sim::registry::GetSz(serialComm, kernelName).value_or(u""));
      if (auto nul = port.com.find('\0'); nul != std::string::npos) port.com.resize(nul);
      std::printf(" %s", port.com.empty() ? "(none)" : port.com.c_str());
      ok = ok && !port.com.empty();
      ports_.push_back(std::move(port));
    }
    std::printf("\n");
  }
  std::printf("  up in %.3f virtual s (%.2f wall s)\n", double(harness_.machine().Now() - start) / sim::kSecond,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count());
  return ok;
}

void Bench::PlugCables() {
  for (size_t i = 0; i < ports_.size(); ++i) {
    BenchPort& port = ports_[i];
    adapter_model::Adapter& model = *units_[port.adapter - 1].model;
    if (options_.cable == CableKind::Loopback) {
      cables_.push_back(std::make_unique<adapter_model::LoopbackPlug>(model.PortConnector(port.number)));
      port.peer = int(i);
    } else if (options_.cable == CableKind::NullModem) {
      // Ports 1-2 and 3-4 of each adapter face each other.
      const bool first = port.number % 2 == 1;
      if (first)
        cables_.push_back(std::make_unique<adapter_model::NullModemCable>(model.PortConnector(port.number),
                                                                          model.PortConnector(port.number + 1)));
      port.peer = first ? int(i) + 1 : int(i) - 1;
    }
  }
  // Listeners go on once the cables have wired the receive pins.
  for (BenchPort& port : ports_) {
    adapter_model::Adapter& model = *units_[port.adapter - 1].model;
    auto& connector = model.PortConnector(port.number);
    port.arrivals = std::make_unique<ArrivalLog>(model.PortUart(port.number), connector.Rxd());
    if (options_.cable == CableKind::None)
      port.transmitted = std::make_unique<ArrivalLog>(model.PortUart(port.number), &connector.Txd());
  }
}

void Bench::UnplugAll() {
  if (unplugged_) return;
  unplugged_ = true;
  for (BenchPort& port : ports_) {
    port.arrivals.reset();
    port.transmitted.reset();
  }
  cables_.clear();
  if (harness_.machine().Stopped()) return;
  for (auto& unit : units_) unit.model->Unplug();
  Settle();
}

}  // namespace simulator
