#include "latency.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "adapter_model/scripted_peer.h"
#include "adapter_model/wire.h"

namespace bench {
namespace {

using sim::VirtualTime;

constexpr int kPort = 1;
// Characters start anywhere over two frames of the bus.
constexpr VirtualTime kLargestGap = 2 * sim::kMillisecond;
constexpr VirtualTime kReadLimit = sim::kSecond;

// The value at a rank of the sorted samples (nearest rank).
double Rank(const std::vector<VirtualTime>& sorted, double share) {
  const auto rank = static_cast<size_t>(std::ceil(share * double(sorted.size())));
  return double(sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1]) / sim::kMillisecond;
}

}  // namespace

LatencyResult RunLatency(const LatencyOptions& options) {
  LatencyResult result;
  result.options = options;
  Rig rig(options.seed);
  sim::Machine& machine = rig.machine();
  std::vector<VirtualTime> latencies;
  try {
    auto& peer = rig.Plug<adapter_model::ScriptedPeer>(rig.model().PortConnector(kPort));
    PFILE_OBJECT file = rig.Open(kPort);
    result.line = rig.SetLine(kPort, options.baud);
    peer.SetFormat(result.line.wire);

    // A second receiver on the line into the port, to learn when each character ended.
    std::vector<adapter_model::ReceivedFrame> frames;
    adapter_model::Receiver tap([&] { return result.line.wire; },
                                [&](const adapter_model::ReceivedFrame& frame) { frames.push_back(frame); });
    tap.Listen(rig.model().PortConnector(kPort).Rxd());

    // The application: one read pending, then the far end's next character.
    bool done = false;
    sim::io::Request read;
    VirtualTime lastCompletion = machine.Now();
    std::mt19937_64 random(options.seed);
    rig.h().Spawn("latency reader", [&] {
      for (int i = 0; i < options.samples && result.problems.empty(); ++i) {
        read = sim::io::ReadAsync(file, 1);
        if (read.IsComplete()) {
          result.problems.push_back(fmt::format("sample {}: the read completed before anything was sent ({})", i,
                                                harness::StatusText(read.Status())));
          break;
        }
        const auto value = static_cast<uint8_t>(random());
        const size_t framesBefore = frames.size();
        peer.Pause(static_cast<VirtualTime>(random() % kLargestGap));
        peer.Send(std::span<const uint8_t>(&value, 1));
        sim::io::Result got = read.Wait();
        const VirtualTime completed = machine.Now();
        lastCompletion = completed;
        if (got.status != STATUS_SUCCESS || frames.size() != framesBefore + 1) {
          result.problems.push_back(fmt::format("sample {}: read ended {} with {} character(s) on the wire", i,
                                                harness::StatusText(got.status), frames.size() - framesBefore));
          break;
        }
        if (got.output != std::vector<uint8_t>{value}) ++result.wrongBytes;
        latencies.push_back(completed - frames.back().end);
      }
      done = true;
    });
    while (!done) {
      const VirtualTime stallAt = lastCompletion + kReadLimit;
      const bool reached = machine.RunUntil([&] { return done || machine.Now() >= stallAt; },
                                            std::max<VirtualTime>(stallAt - machine.Now(), 0),
                                            /*failOnDeadlock=*/false);
      // Something completed meanwhile: wait on from the latest completion.
      if (done || (reached && lastCompletion + kReadLimit > machine.Now())) continue;
      result.problems.push_back(fmt::format("sample {}: the 1-byte read did not complete within {} s",
                                            latencies.size(), double(kReadLimit) / sim::kSecond));
      read.Cancel();
      machine.RunUntil([&] { return done; }, kReadLimit, /*failOnDeadlock=*/false);
      break;
    }
    tap.Listen(nullptr);
  } catch (const std::exception& error) {
    result.problems.push_back(std::string("run stopped: ") + error.what());
  }

  result.samples = static_cast<int>(latencies.size());
  if (!latencies.empty()) {
    std::vector<VirtualTime> sorted = latencies;
    std::sort(sorted.begin(), sorted.end());
    result.median = Rank(sorted, 0.5);
    result.p99 = Rank(sorted, 0.99);
    result.min = double(sorted.front()) / sim::kMillisecond;
    result.max = double(sorted.back()) / sim::kMillisecond;
    result.mean = double(std::accumulate(sorted.begin(), sorted.end(), VirtualTime{0})) / double(sorted.size()) /
                  sim::kMillisecond;
  }
  for (auto& problem : rig.Finish()) result.problems.push_back(problem);
  return result;
}

}  // namespace bench
