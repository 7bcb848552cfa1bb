#include "report.h"

#include <fmt/format.h>

#include <algorithm>

namespace bench {
namespace {

std::string Status(NTSTATUS status) { return fmt::format("0x{:08X}", static_cast<uint32_t>(status)); }

std::string LineText(const LineSetup& line) {
  std::string text = line.wire.ToString();
  if (line.wire.baud != line.requestedBaud)
    text += fmt::format(" (asked for {}: SET_BAUD_RATE answered {})", line.requestedBaud, Status(line.setBaud));
  return text;
}

std::string Mark(bool met) { return met ? "met" : "MISSED"; }

nlohmann::json LineJson(const LineSetup& line) {
  nlohmann::json j;
  j["requested_baud"] = line.requestedBaud;
  j["baud"] = line.wire.baud;
  j["format"] = line.wire.ToString();
  j["line_bytes_per_second"] = line.LineBytesPerSecond();
  j["set_baud_rate_status"] = Status(line.setBaud);
  j["set_line_control_status"] = Status(line.setLineControl);
  j["get_baud_rate_status"] = Status(line.getBaud);
  j["driver_baud"] = line.driverBaud ? nlohmann::json(*line.driverBaud) : nlohmann::json(nullptr);
  return j;
}

}  // namespace

bool ThroughputGoalMet(const Run& run) {
  const auto& t = run.throughput;
  if (t.ports.empty()) return false;
  return std::all_of(t.ports.begin(), t.ports.end(), [&](const PortFlow& p) {
    return p.txShare >= run.goals.lineShare && p.rxShare >= run.goals.lineShare && p.stream.Exact();
  });
}

bool LatencyGoalMet(const Run& run) {
  return run.latency.samples > 0 && run.latency.samples == run.latency.options.samples &&
         run.latency.median <= run.goals.medianLatencyMs;
}

std::string Table(const Run& run) {
  const ThroughputResult& t = run.throughput;
  const LatencyResult& l = run.latency;
  std::string out;
  auto line = [&](std::string text) { out += text + "\n"; };

  line(fmt::format("Data path benchmark, seed {}", run.seed));
  line("");
  line(fmt::format("1. Four ports full duplex through loopback plugs for {:.3f} virtual s: {} writes of 1..{} bytes and {} "
                   "reads of {} bytes pending per port",
                   t.virtualSeconds, t.options.writesPending, t.options.largestWrite, t.options.readsPending,
                   t.readLength));
  if (!t.ports.empty()) line(fmt::format("   line: {}", LineText(t.ports.front().line)));
  line("   port   TX B/s    TX %    RX B/s    RX %   written  read back  lost  dup  changed   overruns: firmware  driver");
  std::string driverNote;
  for (const PortFlow& p : t.ports) {
    std::string driver = "n/a";
    if (p.driver.status == STATUS_SUCCESS)
      driver = fmt::format("{} + {}", p.driver.serialOverruns, p.driver.bufferOverruns);
    else
      driverNote = fmt::format("   driver overruns: not reachable, IOCTL_SERIAL_GET_STATS answered {}", Status(p.driver.status));
    line(fmt::format("   {:<4} {:>9.1f} {:>6.2f} {:>9.1f} {:>6.2f} {:>9} {:>10} {:>5} {:>4} {:>8}   {:>18}  {}", p.port,
                     p.txPerSecond, 100 * p.txShare, p.rxPerSecond, 100 * p.rxShare, p.stream.sent, p.stream.received,
                     p.stream.lost, p.stream.duplicated, p.stream.corrupted, p.modelOverruns, driver));
  }
  if (!driverNote.empty()) line(driverNote);
  line("   (TX: characters on the wire, RX: bytes reads returned, over the span; written/read back: the whole run, "
       "drain included; driver overruns: UART + buffer)");
  line(fmt::format("   goal: every port and direction >= {:.0f} % of the line rate, every byte back once and in order: {}",
                   100 * run.goals.lineShare, Mark(ThroughputGoalMet(run))));
  line("");
  line(fmt::format("2. Receive latency, last stop bit on the wire to the 1-byte read's completion, {} of {} samples",
                   l.samples, l.options.samples));
  line(fmt::format("   line: {}", LineText(l.line)));
  line(fmt::format("   median {:.3f} ms   99th percentile {:.3f} ms   mean {:.3f} ms   min {:.3f} ms   max {:.3f} ms",
                   l.median, l.p99, l.mean, l.min, l.max));
  if (l.wrongBytes) line(fmt::format("   {} read(s) returned another byte than the one sent", l.wrongBytes));
  line(fmt::format("   goal: median <= {:.1f} ms: {}", run.goals.medianLatencyMs, Mark(LatencyGoalMet(run))));
  line("");
  line(fmt::format("3. Simulator speed (scenario 1): {:.3f} virtual s in {:.2f} wall s = {:.3f} virtual s per wall s",
                   t.virtualSeconds, t.wallSeconds, t.wallSeconds > 0 ? t.virtualSeconds / t.wallSeconds : 0.0));
  line("");
  line("4. USB bus during scenario 1");
  line(fmt::format("   bulk packets per 1 ms frame: mean {:.2f} over the {} frames run ({:.2f} over all {} ms), max {} of {}",
                   t.bus.PerFrame(), t.bus.frames, t.bus.PerMillisecond(), t.bus.milliseconds, t.bus.maxPacketsInFrame,
                   t.bus.packetLimit));
  line(fmt::format("   {} packets ({} NAKed), {} bytes", t.bus.packets, t.bus.naks, t.bus.bytes));
  line("   pipe              transfers  most in flight");
  for (const PipeUse& p : t.pipes) line(fmt::format("   {:<17} {:>9}  {:>14}", p.name, p.transfers, p.maxInFlight));

  std::vector<std::string> problems = t.problems;
  problems.insert(problems.end(), l.problems.begin(), l.problems.end());
  line("");
  line(fmt::format("Problems: {}", problems.size()));
  for (const auto& problem : problems) line("  " + problem);
  return out;
}

nlohmann::json Json(const Run& run) {
  const ThroughputResult& t = run.throughput;
  const LatencyResult& l = run.latency;
  nlohmann::json j;
  j["seed"] = run.seed;

  nlohmann::json& s1 = j["throughput"];
  s1["virtual_seconds"] = t.virtualSeconds;
  s1["read_length"] = t.readLength;
  s1["largest_write"] = t.options.largestWrite;
  s1["reads_pending"] = t.options.readsPending;
  s1["writes_pending"] = t.options.writesPending;
  s1["ports"] = nlohmann::json::array();
  for (const PortFlow& p : t.ports) {
    nlohmann::json port;
    port["port"] = p.port;
    port["line"] = LineJson(p.line);
    port["tx_bytes_per_second"] = p.txPerSecond;
    port["rx_bytes_per_second"] = p.rxPerSecond;
    port["tx_percent_of_line"] = 100 * p.txShare;
    port["rx_percent_of_line"] = 100 * p.rxShare;
    port["tx_wire_bytes"] = p.wireBytes;
    port["rx_read_bytes"] = p.readBytes;
    port["writes"] = p.writes;
    port["reads"] = p.reads;
    port["failed_requests"] = p.failedRequests;
    port["bytes_written"] = p.stream.sent;
    port["bytes_read_back"] = p.stream.received;
    port["bytes_lost"] = p.stream.lost;
    port["bytes_duplicated"] = p.stream.duplicated;
    port["bytes_changed"] = p.stream.corrupted;
    port["in_order"] = p.stream.Exact();
    port["model_overruns"] = p.modelOverruns;
    port["model_received"] = p.modelReceived;
    nlohmann::json driver;
    driver["get_stats_status"] = Status(p.driver.status);
    if (p.driver.status == STATUS_SUCCESS) {
      driver["received"] = p.driver.received;
      driver["transmitted"] = p.driver.transmitted;
      driver["serial_overruns"] = p.driver.serialOverruns;
      driver["buffer_overruns"] = p.driver.bufferOverruns;
    }
    port["driver_counters"] = driver;
    s1["ports"].push_back(port);
  }
  s1["goal"] = {{"line_share", run.goals.lineShare}, {"met", ThroughputGoalMet(run)}};
  s1["problems"] = t.problems;

  nlohmann::json& s2 = j["latency"];
  s2["line"] = LineJson(l.line);
  s2["samples_asked"] = l.options.samples;
  s2["samples"] = l.samples;
  s2["wrong_bytes"] = l.wrongBytes;
  s2["median_ms"] = l.median;
  s2["p99_ms"] = l.p99;
  s2["mean_ms"] = l.mean;
  s2["min_ms"] = l.min;
  s2["max_ms"] = l.max;
  s2["goal"] = {{"median_ms", run.goals.medianLatencyMs}, {"met", LatencyGoalMet(run)}};
  s2["problems"] = l.problems;

  nlohmann::json& s3 = j["simulator"];
  s3["virtual_seconds"] = t.virtualSeconds;
  s3["wall_seconds"] = t.wallSeconds;
  s3["virtual_seconds_per_wall_second"] = t.wallSeconds > 0 ? t.virtualSeconds / t.wallSeconds : 0.0;

  nlohmann::json& s4 = j["usb"];
  s4["frames_run"] = t.bus.frames;
  s4["milliseconds"] = t.bus.milliseconds;
  s4["bulk_packets"] = t.bus.packets;
  s4["naks"] = t.bus.naks;
  s4["bulk_bytes"] = t.bus.bytes;
  s4["packets_per_frame_mean"] = t.bus.PerFrame();
  s4["packets_per_millisecond_mean"] = t.bus.PerMillisecond();
  s4["packets_per_frame_max"] = t.bus.maxPacketsInFrame;
  s4["packets_per_frame_limit"] = t.bus.packetLimit;
  s4["pipes"] = nlohmann::json::array();
  for (const PipeUse& p : t.pipes)
    s4["pipes"].push_back({{"pipe", p.name}, {"transfers", p.transfers}, {"max_in_flight", p.maxInFlight}});
  return j;
}

}  // namespace bench
