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

// A run in which nothing completed for this long has lost bytes (or hangs).
constexpr VirtualTime kStallAfter = 2 * sim::kSecond;

// What the application tasks of one port share with each other and with the controller.
// Only one task of the machine runs at a time.
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
  KEVENT written;  // the writer issued more, or stopped
  bool writerDone = false;
  bool readerDone = false;
  PortFlow figures;
};

struct Shared {
  bool writing = true;    // writers issue more
  bool measuring = true;  // read bytes count toward the span
  bool stopping = false;  // the run stalled: issue nothing more
  VirtualTime lastCompletion = 0;
  std::vector<std::string>* problems = nullptr;
};

// Reads never ask for more than the writes issued so far will bring back, so that every read
// completes in full and the run ends with nothing pending; several of them stay queued, each
// a few milliseconds of line time.
ULONG ReadLength(const LineSetup& line) {
  const double bytes = line.LineBytesPerSecond() / 200;
  return static_cast<ULONG>(std::clamp(bytes, 8.0, 256.0));
}

// One application thread writing back to back: `pending` writes queued at the port at all
// times, each of 1 to `largest` bytes of a pseudo-random stream.
void Writer(Flow& flow, Shared& shared, const ThroughputOptions& options) {
  for (;;) {
    while (shared.writing && !shared.stopping && flow.writes.size() < options.writesPending) {
      const size_t length = 1 + flow.random() % options.largestWrite;
      std::vector<uint8_t> bytes(length);
      for (auto& b : bytes) b = static_cast<uint8_t>(flow.random() >> 56);
      flow.sent.insert(flow.sent.end(), bytes.begin(), bytes.end());
      flow.writes.emplace_back(sim::io::WriteAsync(flow.file, bytes), length);
      KeSetEvent(&flow.written, IO_NO_INCREMENT, FALSE);
    }
    if (flow.writes.empty()) break;
    // Requests of one kind complete in the order they were queued.
    auto [write, length] = flow.writes.front();
    sim::io::Result done = write.Wait();
    flow.writes.pop_front();
    shared.lastCompletion = sim::Machine::Current().Now();
    ++flow.figures.writes;
    if (done.status != STATUS_SUCCESS || done.information != length) {
      ++flow.figures.failedRequests;
      shared.problems->push_back(fmt::format("port {}: write of {} bytes ended {} with {} written", flow.port, length,
                                             harness::StatusText(done.status), done.information));
    }
  }
  flow.writerDone = true;
  KeSetEvent(&flow.written, IO_NO_INCREMENT, FALSE);
}

// One application thread reading: `pending` reads queued at the port whenever the writes
// issued so far leave bytes to ask for.
void Reader(Flow& flow, Shared& shared, const ThroughputOptions& options) {
  const ULONG readLength = ReadLength(flow.figures.line);
  for (;;) {
    while (!shared.stopping && flow.reads.size() < options.readsPending && flow.readAsked < flow.sent.size()) {
      const auto length = static_cast<ULONG>(std::min<uint64_t>(readLength, flow.sent.size() - flow.readAsked));
      flow.reads.push_back(sim::io::ReadAsync(flow.file, length));
      flow.readAsked += length;
    }
    if (flow.reads.empty()) {
      if (shared.stopping || (flow.writerDone && flow.readAsked >= flow.sent.size())) break;
      KeWaitForSingleObject(&flow.written, Executive, KernelMode, FALSE, nullptr);
      continue;
    }
    sim::io::Request read = flow.reads.front();
    sim::io::Result done = read.Wait();
    flow.reads.pop_front();
    shared.lastCompletion = sim::Machine::Current().Now();
    ++flow.figures.reads;
    if (done.status != STATUS_SUCCESS) {
      ++flow.figures.failedRequests;
      shared.problems->push_back(fmt::format("port {}: read ended {} with {} bytes", flow.port,
                                             harness::StatusText(done.status), done.information));
    }
    flow.received.insert(flow.received.end(), done.output.begin(), done.output.end());
    if (shared.measuring) flow.readBytesInSpan += done.output.size();
  }
  flow.readerDone = true;
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
    KeInitializeEvent(&flow.written, SynchronizationEvent, FALSE);
    rig.PlugLoopback(port);
    flow.file = rig.Open(port);
    flow.figures.port = port;
    flow.figures.line = rig.SetLine(port, options.baud);
  }
  result.readLength = ReadLength(flows.front().figures.line);
  Shared shared;
  shared.problems = &result.problems;
  auto allDone = [&] {
    return std::all_of(flows.begin(), flows.end(), [](const Flow& f) { return f.writerDone && f.readerDone; });
  };

  const VirtualTime start = machine.Now();
  const VirtualTime end = start + static_cast<VirtualTime>(options.seconds * sim::kSecond);
  const sim::usb::BusStatistics busAtStart = sim::usb::Statistics();
  for (Flow& flow : flows) flow.wireAtStart = rig.model().PortUart(flow.port).CharactersSent();
  const auto wallStart = std::chrono::steady_clock::now();
  shared.lastCompletion = start;

  try {
    for (Flow& flow : flows) {
      rig.h().Spawn(fmt::format("port {} writer", flow.port), [&] { Writer(flow, shared, options); });
      rig.h().Spawn(fmt::format("port {} reader", flow.port), [&] { Reader(flow, shared, options); });
    }
    machine.RunUntil([&] { return machine.Now() >= end || machine.Now() >= shared.lastCompletion + kStallAfter; },
                     end - start, /*failOnDeadlock=*/false);
    // The span ends here: what moved in it.
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
    shared.measuring = false;
    shared.writing = false;

    // Every write issued drains and comes back, unless bytes went missing.
    while (!allDone()) {
      const VirtualTime stallAt = shared.lastCompletion + kStallAfter;
      const bool reached = machine.RunUntil([&] { return allDone() || machine.Now() >= stallAt; },
                                            std::max<VirtualTime>(stallAt - machine.Now(), 0),
                                            /*failOnDeadlock=*/false);
      if (allDone()) break;
      // Something completed meanwhile: wait on from the latest completion.
      if (reached && shared.lastCompletion + kStallAfter > machine.Now()) continue;
      for (const Flow& flow : flows)
        if (!flow.reads.empty() || !flow.writes.empty())
          result.problems.push_back(fmt::format(
              "port {}: {} read(s) and {} write(s) still pending at {:.6f} s, the last completion at {:.6f} s",
              flow.port, flow.reads.size(), flow.writes.size(), double(machine.Now() - start) / sim::kSecond,
              double(shared.lastCompletion - start) / sim::kSecond));
      // What is still pending is taken back, so that the ports can close.
      shared.stopping = true;
      for (Flow& flow : flows) {
        for (auto& read : flow.reads) read.Cancel();
        for (auto& [write, length] : flow.writes) write.Cancel();
        KeSetEvent(&flow.written, IO_NO_INCREMENT, FALSE);
      }
      if (!machine.RunUntil(allDone, kStallAfter, /*failOnDeadlock=*/false)) {
        result.problems.push_back("cancelled requests did not complete");
        break;
      }
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
