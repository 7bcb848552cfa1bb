#include "throughput.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <random>

#include "simkernel/usb_bus.h"

namespace bench {
namespace {

using sim::VirtualTime;

// A port that has seen nothing come back for this long has lost its bytes.
constexpr VirtualTime kStallAfter = 2 * sim::kSecond;

struct Flow {
  int port = 0;
  PFILE_OBJECT file = nullptr;
  std::mt19937_64 random;
  std::vector<uint8_t> sent;  // every byte handed to a write, in order
  std::vector<uint8_t> received;
  std::deque<std::pair<sim::io::Request, size_t>> writes;  // request, its length
  std::deque<sim::io::Request> reads;
  uint64_t readAsked = 0;  // bytes all reads issued so far ask for
  uint64_t readBytesInSpan = 0;
  uint64_t wireAtStart = 0;
  PortFlow figures;
};

// Reads never ask for more than the writes issued so far will bring back, so that every read
// completes in full and the run ends with nothing pending; several of them stay queued, each
// a few milliseconds of line time.
ULONG ReadLength(const LineSetup& line) {
  const double bytes = line.LineBytesPerSecond() / 200;
  return static_cast<ULONG>(std::clamp(bytes, 8.0, 256.0));
}

sim::usb::BusStatistics Delta(const sim::usb::BusStatistics& before, const sim::usb::BusStatistics& after) {
  sim::usb::BusStatistics d;
  d.frames = after.frames - before.frames;
  d.bulkPackets = after.bulkPackets - before.bulkPackets;
  d.bulkBytes = after.bulkBytes - before.bulkBytes;
  d.naks = after.naks - before.naks;
  for (const auto& [packets, frames] : after.framesByBulkPackets) {
    auto earlier = before.framesByBulkPackets.find(packets);
    const uint64_t added = frames - (earlier == before.framesByBulkPackets.end() ? 0 : earlier->second);
    if (added) {
      d.framesByBulkPackets[packets] = added;
      d.maxBulkPacketsInFrame = std::max(d.maxBulkPacketsInFrame, packets);
    }
  }
  return d;
}

}  // namespace

ThroughputResult RunThroughput(const ThroughputOptions& options) {
  ThroughputResult result;
  result.options = options;
  Rig rig(options.seed);
  sim::Machine& machine = rig.machine();

  std::vector<Flow> flows(4);
  for (int port = 1; port <= 4; ++port) {
    Flow& flow = flows[port - 1];
    flow.port = port;
    flow.random.seed(options.seed * 4 + static_cast<uint64_t>(port));
    rig.PlugLoopback(port);
    flow.file = rig.Open(port);
    flow.figures.port = port;
    flow.figures.line = rig.SetLine(port, options.baud);
  }

  bool writing = true;
  bool measuring = true;
  auto issue = [&](Flow& flow) {
    while (writing && flow.writes.size() < options.writesPending) {
      const size_t length = 1 + flow.random() % options.largestWrite;
      std::vector<uint8_t> bytes(length);
      for (auto& b : bytes) b = static_cast<uint8_t>(flow.random() >> 56);
      flow.sent.insert(flow.sent.end(), bytes.begin(), bytes.end());
      flow.writes.emplace_back(sim::io::WriteAsync(flow.file, bytes), length);
    }
    const ULONG readLength = ReadLength(flow.figures.line);
    while (flow.reads.size() < options.readsPending && flow.readAsked < flow.sent.size()) {
      const auto length = static_cast<ULONG>(std::min<uint64_t>(readLength, flow.sent.size() - flow.readAsked));
      flow.reads.push_back(sim::io::ReadAsync(flow.file, length));
      flow.readAsked += length;
    }
  };
  // Requests of one kind complete in the order they were queued.
  auto collect = [&](Flow& flow) {
    bool progress = false;
    while (!flow.writes.empty() && flow.writes.front().first.IsComplete()) {
      auto [write, length] = flow.writes.front();
      flow.writes.pop_front();
      ++flow.figures.writes;
      if (write.Status() != STATUS_SUCCESS || write.Information() != length) {
        ++flow.figures.failedRequests;
        result.problems.push_back(fmt::format("port {}: write of {} bytes ended {} with {} written", flow.port, length,
                                              harness::StatusText(write.Status()), write.Information()));
      }
      progress = true;
    }
    while (!flow.reads.empty() && flow.reads.front().IsComplete()) {
      sim::io::Request read = flow.reads.front();
      flow.reads.pop_front();
      ++flow.figures.reads;
      if (read.Status() != STATUS_SUCCESS) {
        ++flow.figures.failedRequests;
        result.problems.push_back(
            fmt::format("port {}: read ended {}", flow.port, harness::StatusText(read.Status())));
      }
      std::vector<uint8_t> bytes = read.Output();
      flow.received.insert(flow.received.end(), bytes.begin(), bytes.end());
      if (measuring) flow.readBytesInSpan += bytes.size();
      progress = true;
    }
    return progress;
  };
  auto anyComplete = [&] {
    for (const Flow& flow : flows) {
      if (!flow.writes.empty() && flow.writes.front().first.IsComplete()) return true;
      if (!flow.reads.empty() && flow.reads.front().IsComplete()) return true;
    }
    return false;
  };
  auto finished = [&] {
    for (const Flow& flow : flows)
      if (!flow.writes.empty() || !flow.reads.empty() || flow.readAsked < flow.sent.size()) return false;
    return true;
  };

  const VirtualTime start = machine.Now();
  const VirtualTime end = start + static_cast<VirtualTime>(options.seconds * sim::kSecond);
  const sim::usb::BusStatistics busAtStart = sim::usb::Statistics();
  for (Flow& flow : flows) flow.wireAtStart = rig.model().PortUart(flow.port).CharactersSent();
  const auto wallStart = std::chrono::steady_clock::now();
  VirtualTime lastProgress = start;

  try {
    for (Flow& flow : flows) issue(flow);
    while (!finished()) {
      const VirtualTime deadline = measuring ? end : lastProgress + kStallAfter;
      machine.RunUntil([&] { return anyComplete() || machine.Now() >= deadline; },
                       std::max<VirtualTime>(deadline - machine.Now(), 0));
      const bool spanEnds = measuring && machine.Now() >= end;
      if (spanEnds) {
        // The span ends here: what moved in it, before anything else is issued.
        result.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        result.virtualSeconds = double(machine.Now() - start) / sim::kSecond;
        const auto bus = Delta(busAtStart, sim::usb::Statistics());
        result.bus.frames = bus.frames;
        result.bus.milliseconds = static_cast<uint64_t>((machine.Now() - start) / sim::usb::kFrameLength);
        result.bus.packets = bus.bulkPackets;
        result.bus.naks = bus.naks;
        result.bus.bytes = bus.bulkBytes;
        result.bus.maxPacketsInFrame = bus.maxBulkPacketsInFrame;
        result.bus.packetLimit = sim::usb::kBulkPacketsPerFrame;
        for (Flow& flow : flows)
          flow.figures.wireBytes = rig.model().PortUart(flow.port).CharactersSent() - flow.wireAtStart;
        measuring = false;
        writing = false;
        lastProgress = machine.Now();
      }
      bool progress = false;
      for (Flow& flow : flows) progress = collect(flow) || progress;
      if (progress) {
        lastProgress = machine.Now();
      } else if (!spanEnds) {
        // Nothing completed for kStallAfter, or nothing is left to happen at all.
        if (measuring)
          result.problems.push_back(fmt::format("nothing left to happen {:.6f} s into the run, with requests pending",
                                                double(machine.Now() - start) / sim::kSecond));
        break;
      }
      for (Flow& flow : flows) issue(flow);
    }
  } catch (const std::exception& error) {
    result.problems.push_back(std::string("run stopped: ") + error.what());
  }

  for (Flow& flow : flows) {
    PortFlow& f = flow.figures;
    f.readBytes = flow.readBytesInSpan;
    if (result.virtualSeconds > 0) {
      f.txPerSecond = double(f.wireBytes) / result.virtualSeconds;
      f.rxPerSecond = double(f.readBytes) / result.virtualSeconds;
      f.txShare = f.txPerSecond / f.line.LineBytesPerSecond();
      f.rxShare = f.rxPerSecond / f.line.LineBytesPerSecond();
    }
    f.stream = CompareStreams(flow.sent, flow.received);
    if (!flow.reads.empty() || !flow.writes.empty())
      result.problems.push_back(fmt::format(
          "port {}: {} read(s) and {} write(s) still pending at {:.6f} s, the last completion at {:.6f} s", flow.port,
          flow.reads.size(), flow.writes.size(), double(machine.Now() - start) / sim::kSecond,
          double(lastProgress - start) / sim::kSecond));
    if (adapter_model::SerialChannel* channel = rig.model().Channel(flow.port)) {
      f.modelOverruns = channel->Stats().overruns;
      f.modelReceived = channel->Stats().received;
    }
    if (!machine.Stopped()) f.driver = rig.Counters(flow.port);
    result.ports.push_back(f);
  }
  if (!machine.Stopped()) {
    for (int port = 1; port <= 4; ++port) {
      result.pipes.push_back({fmt::format("port {} data IN", port), rig.fixture().MaxInFlight(rig.DataInPipe(port)),
                              rig.fixture().Urbs(rig.DataInPipe(port)).size()});
      result.pipes.push_back({fmt::format("port {} data OUT", port), rig.fixture().MaxInFlight(rig.DataOutPipe(port)),
                              rig.fixture().Urbs(rig.DataOutPipe(port)).size()});
    }
    result.pipes.push_back({"command", rig.fixture().MaxInFlight(rig.fixture().CommandPipe()),
                            rig.fixture().Urbs(rig.fixture().CommandPipe()).size()});
    result.pipes.push_back({"response", rig.fixture().MaxInFlight(rig.fixture().ResponsePipe()),
                            rig.fixture().Urbs(rig.fixture().ResponsePipe()).size()});
  }
  for (auto& problem : rig.Finish()) result.problems.push_back(problem);
  return result;
}

}  // namespace bench
