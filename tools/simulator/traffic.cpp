#include "traffic.h"

#include <algorithm>
#include <bit>
#include <deque>
#include <random>

#include "simkernel/ntddser.h"

namespace simulator {
namespace {

constexpr uint32_t kReadLength = 512;
// Writes carry at most 50 ms of the line's time (16 to 512 bytes), so that what is queued when
// a phase's sending ends drains in a moment at any rate.
uint32_t LargestWrite(const LineSettings& line) {
  return std::clamp<uint32_t>(uint32_t(line.LineBytesPerSecond() / 20), 16, 512);
}
constexpr uint32_t kReadWaitMs = 10;
constexpr size_t kWritesQueued = 4;
// After the far end stopped sending, a port waits this long with nothing arriving before it
// counts the rest as lost.
constexpr sim::VirtualTime kDrainQuiet = sim::kSecond;

uint64_t Mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Byte `offset` of the stream port `sender` writes in a phase. Under XON/XOFF the two flow
// characters are kept out of the data.
uint8_t StreamByte(uint64_t seed, size_t sender, size_t phase, uint64_t offset, bool xonXoff) {
  auto value = static_cast<uint8_t>(Mix(seed ^ (uint64_t(sender) << 48) ^ (uint64_t(phase) << 40) ^ offset));
  if (xonXoff && (value == kXon || value == kXoff)) value ^= 0x40;
  return value;
}

// What one port's task shares with the others and the controller.
struct PortRun {
  std::unique_ptr<CommPort> port;
  bool sendDone = false;         // no more writes will be issued
  sim::VirtualTime sendDoneAt = -1;  // and the last one has completed
  uint64_t written = 0;
  bool done = false;
};

struct PhaseContext {
  uint64_t seed;
  size_t phase;
  const Phase* settings;
  sim::VirtualTime start;
  sim::VirtualTime duration;
};

void RunPort(sim::Machine& machine, const PhaseContext& context, size_t index, std::vector<PortRun>& runs,
             std::vector<BenchPort>& ports, PhaseResult& result) {
  PortRun& run = runs[index];
  CommPort& port = *run.port;
  BenchPort& bench = ports[index];
  const bool xonXoff = context.settings->line.handshake == Handshake::XonXoff;
  const int peer = bench.peer;
  std::mt19937_64 random(Mix(context.seed ^ (index << 8) ^ context.phase));

  const uint32_t largestWrite = LargestWrite(context.settings->line);
  std::deque<std::pair<PendingIo, uint32_t>> writes;
  uint64_t issued = 0;  // bytes handed to writes so far
  std::vector<uint8_t> chunk;
  const sim::VirtualTime deadline = context.start + context.duration;
  sim::VirtualTime lastArrival = machine.Now();
  sim::VirtualTime lastWriteDone = context.start;
  PendingIo read = port.Read(kReadLength);

  while (true) {
    // Writes queued ahead keep the transmitter busy while the task waits on its read.
    while (!run.sendDone && machine.Now() < deadline && writes.size() < kWritesQueued) {
      const uint32_t length = 1 + uint32_t(random() % largestWrite);
      chunk.resize(length);
      for (uint32_t i = 0; i < length; ++i)
        chunk[i] = StreamByte(context.seed, index, context.phase, issued + i, xonXoff);
      writes.emplace_back(port.Write(chunk), length);
      issued += length;
      ++result.writes;
    }

    IoOutcome got = read.Wait();
    const sim::VirtualTime now = machine.Now();
    ++result.reads;
    if (got.status == STATUS_TIMEOUT && got.transferred == 0) {
      ++result.emptyReads;
    } else if (got.status != STATUS_SUCCESS) {
      ++result.failedRequests;
      result.problems.push_back("read ended " + harness::StatusText(got.status));
    }
    for (size_t i = 0; i < got.data.size(); ++i) {
      const uint64_t offset = result.received + i;
      if (peer < 0 || got.data[i] != StreamByte(context.seed, size_t(peer), context.phase, offset, xonXoff))
        ++result.mismatched;
      if (!bench.arrivals->Empty()) {
        const auto arrival = bench.arrivals->Pop();
        result.latencies.push_back(now - arrival.ready);
        if (arrival.error) ++result.lineErrors;
      }
    }
    if (!got.data.empty()) {
      result.received += got.data.size();
      lastArrival = now;
      result.receiveSpan = now - context.start;
    }

    while (!writes.empty() && writes.front().first.Done()) {
      auto [io, length] = std::move(writes.front());
      writes.pop_front();
      IoOutcome wrote = io.Wait();
      result.written += wrote.transferred;
      run.written = result.written;
      lastWriteDone = now;
      if (wrote.status != STATUS_SUCCESS || wrote.transferred != length) {
        ++result.failedRequests;
        result.problems.push_back("write of " + std::to_string(length) + " ended " +
                                  harness::StatusText(wrote.status) + " after " + std::to_string(wrote.transferred));
        // The stream no longer lines up with what the far end expects: stop sending.
        run.sendDone = true;
      }
    }
    if (!run.sendDone && now >= deadline && writes.empty()) run.sendDone = true;
    if (run.sendDone && writes.empty() && run.sendDoneAt < 0) {
      run.sendDoneAt = now;
      result.sendSpan = lastWriteDone - context.start;
    }

    const PortRun* far = peer < 0 ? nullptr : &runs[size_t(peer)];
    if (run.sendDoneAt >= 0 && (far == nullptr || far->sendDoneAt >= 0)) {
      // With nothing plugged in: once the transmit pin has been quiet a while, and nothing came.
      if (far == nullptr) {
        const sim::VirtualTime lastOut = bench.transmitted ? bench.transmitted->LastEnd() : -1;
        if (now - std::max(run.sendDoneAt, lastOut) >= 100 * sim::kMillisecond) break;
        read = port.Read(kReadLength);
        continue;
      }
      if (result.received >= far->written) break;
      if (now - std::max(lastArrival, far->sendDoneAt) >= kDrainQuiet) break;
    }
    read = port.Read(kReadLength);
  }
  run.done = true;
}

}  // namespace

uint64_t PhaseResult::Errors() const {
  return mismatched + lost + failedRequests + uint64_t(std::popcount(lineErrors));
}

double PhaseResult::TxPercent() const {
  if (sendSpan <= 0) return 0;
  return 100.0 * double(written) / (double(sendSpan) / sim::kSecond * line.LineBytesPerSecond());
}

double PhaseResult::RxPercent() const {
  if (receiveSpan <= 0) return 0;
  return 100.0 * double(received) / (double(receiveSpan) / sim::kSecond * line.LineBytesPerSecond());
}

std::vector<Phase> Schedule(const Options& options) {
  std::vector<Phase> phases;
  for (size_t i = 0; i < options.bauds.size(); ++i) {
    Phase phase;
    phase.line.baud = options.bauds[i];
    // The handshakes take turns; with nothing plugged in there is no one to hand-shake with.
    phase.line.handshake = i % 2 == 0 ? Handshake::XonXoff : Handshake::RtsCts;
    if (options.cable == CableKind::None && phase.line.handshake == Handshake::RtsCts)
      phase.line.handshake = Handshake::None;
    // Reads return what has arrived at once, or wait up to kReadWaitMs for the first byte.
    phase.timeouts.readInterval = Timeouts::kForever;
    phase.timeouts.readMultiplier = Timeouts::kForever;
    phase.timeouts.readConstant = kReadWaitMs;
    // A write may take twice its time on the line plus a second; longer is a fault.
    const double msPerByte = 1000.0 / phase.line.LineBytesPerSecond();
    phase.timeouts.writeMultiplier = std::max<uint32_t>(1, uint32_t(2 * msPerByte + 1));
    phase.timeouts.writeConstant = 1000;
    phases.push_back(phase);
  }
  return phases;
}

std::vector<PortResult> RunTraffic(harness::DriverHarness& harness, Bench& bench, const Options& options,
                                   Trace& trace, const ProgressHook& progress) {
  sim::Machine& machine = harness.machine();
  auto& ports = bench.Ports();
  std::vector<PortResult> results(ports.size());
  std::vector<PortRun> runs(ports.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    results[i].com = ports[i].com;
    results[i].adapter = ports[i].adapter;
    results[i].number = ports[i].number;
  }

  // Runs one body per port as that port's application task, all at once, until all are done.
  auto together = [&](const std::string& what, const std::function<void(size_t)>& body, sim::VirtualTime limit,
                      size_t phase, sim::VirtualTime phaseStart) {
    auto finishedState = std::make_shared<std::vector<char>>(ports.size(), 0);
    auto& finished = *finishedState;
    for (size_t i = 0; i < ports.size(); ++i)
      harness.Spawn(ports[i].com + " " + what, [finishedState, body, i] {
        body(i);
        (*finishedState)[i] = 1;
      });
    sim::VirtualTime lastShown = -1;
    const bool all = harness.RunUntil(
        [&] {
          trace.Poll(machine);
          if (progress && what == "traffic" && machine.Now() - lastShown >= 20 * sim::kMillisecond) {
            lastShown = machine.Now();
            progress(phase, machine.Now() - phaseStart, false, results);
          }
          return std::all_of(finished.begin(), finished.end(), [](char f) { return f != 0; });
        },
        limit);
    trace.Poll(machine, /*force=*/true);
    if (all) return true;
    // A task that cannot finish: abort whatever it has pending so that it can.
    for (size_t i = 0; i < ports.size(); ++i)
      if (!finished[i] && runs[i].port) {
        if (phase < results[i].phases.size())
          results[i].phases[phase].problems.push_back(what + " did not finish in " +
                                                      std::to_string(limit / sim::kSecond) + " virtual s");
        runs[i].port->Purge();
      }
    harness.RunUntil([&] { return std::all_of(finished.begin(), finished.end(), [](char f) { return f != 0; }); },
                     10 * sim::kSecond);
    return false;
  };

  together("open", [&](size_t i) {
    NTSTATUS status = STATUS_SUCCESS;
    if (!ports[i].com.empty()) runs[i].port = CommPort::Open(ports[i].com, &status);
    results[i].opened = runs[i].port != nullptr;
  }, 10 * sim::kSecond, 0, machine.Now());

  const auto phases = Schedule(options);
  const auto duration = static_cast<sim::VirtualTime>(options.duration * sim::kSecond);
  for (size_t p = 0; p < phases.size(); ++p) {
    for (auto& result : results) {
      result.phases.emplace_back();
      result.phases.back().line = phases[p].line;
    }
    // Every port takes its settings before any sends, so a null-modem pair never sees a
    // character at the old rate.
    together("settings", [&](size_t i) {
      PhaseResult& result = results[i].phases[p];
      if (!runs[i].port) {
        result.problems.push_back("not open");
        ++result.failedRequests;
        return;
      }
      for (NTSTATUS status : {runs[i].port->Configure(phases[p].line), runs[i].port->SetTimeouts(phases[p].timeouts),
                              runs[i].port->Purge()})
        if (!NT_SUCCESS(status)) {
          ++result.failedRequests;
          result.problems.push_back("settings refused: " + harness::StatusText(status));
        }
      runs[i].port->ClearErrors();
      runs[i].sendDone = false;
      runs[i].sendDoneAt = -1;
      runs[i].written = 0;
      runs[i].done = false;
    }, 10 * sim::kSecond, p, machine.Now());
    // What the line carried while the settings changed is not part of the phase.
    for (auto& port : ports) {
      if (port.transmitted) port.transmitted->Clear();
      port.arrivals->Clear();
      port.arrivals->SkipFlowCharacters(phases[p].line.handshake == Handshake::XonXoff);
    }

    PhaseContext context{options.seed, p, &phases[p], machine.Now(), duration};
    together("traffic", [&](size_t i) {
      if (!runs[i].port) {
        runs[i].sendDone = true;
        runs[i].sendDoneAt = machine.Now();
        return;
      }
      RunPort(machine, context, i, runs, ports, results[i].phases[p]);
      const CommErrors errors = runs[i].port->ClearErrors();
      results[i].phases[p].lineErrors |= errors.errors;
    }, duration + 30 * sim::kSecond, p, context.start);

    for (size_t i = 0; i < ports.size(); ++i) {
      PhaseResult& result = results[i].phases[p];
      const int peer = ports[i].peer;
      result.expected = peer < 0 ? 0 : runs[size_t(peer)].written;
      result.lost = result.expected > result.received ? result.expected - result.received : 0;
      if (peer < 0 && result.received > 0) result.problems.push_back("bytes arrived with nothing plugged in");
      if (result.lost > 0) result.problems.push_back(std::to_string(result.lost) + " byte(s) never arrived");
      if (result.mismatched > 0) result.problems.push_back(std::to_string(result.mismatched) + " byte(s) wrong");
      if (result.lineErrors != 0) result.problems.push_back("line errors reported");
      for (size_t r = 0; r < ports.size(); ++r)
        if (ports[r].peer == int(i) && ports[r].arrivals->LastEnd() >= 0)
          result.sendSpan = ports[r].arrivals->LastEnd() - context.start;
      if (ports[i].transmitted && ports[i].transmitted->LastEnd() >= 0)
        result.sendSpan = ports[i].transmitted->LastEnd() - context.start;
    }
    if (progress) progress(p, machine.Now() - context.start, true, results);
  }

  together("close", [&](size_t i) {
    if (runs[i].port) runs[i].port->Close();
  }, 10 * sim::kSecond, phases.size() - 1, machine.Now());
  harness.RunUntilIdle();
  return results;
}

}  // namespace simulator
