#include "report.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

namespace simulator {

bool RunSummary::Passed() const {
  if (!verdicts.verifier.empty() || !verdicts.races.empty() || !verdicts.poolOutstanding.empty() ||
      !verdicts.stops.empty() || !verdicts.driverUnloaded || ports.empty())
    return false;
  for (const auto& port : ports) {
    if (!port.opened) return false;
    for (const auto& phase : port.phases)
      if (phase.Errors() != 0 || !phase.problems.empty() || phase.received != phase.expected) return false;
  }
  return true;
}

LatencyFigures Latency(const std::vector<sim::VirtualTime>& samples) {
  LatencyFigures figures;
  figures.samples = samples.size();
  if (samples.empty()) return figures;
  std::vector<sim::VirtualTime> sorted = samples;
  std::sort(sorted.begin(), sorted.end());
  auto rank = [&](double share) {
    const auto at = static_cast<size_t>(std::ceil(share * double(sorted.size())));
    return double(sorted[std::clamp<size_t>(at, 1, sorted.size()) - 1]) / sim::kMillisecond;
  };
  figures.median = rank(0.5);
  figures.p99 = rank(0.99);
  return figures;
}

void PrintSummary(const RunSummary& summary) {
  fmt::print("\nSummary ({} virtual s, {:.1f} wall s)\n", fmt::format("{:.3f}", summary.virtualSeconds),
             summary.wallSeconds);
  fmt::print("  {:<5} {:<6} {:<22} {:>9} {:>9} {:>6} {:>6} {:>7} {:>7} {:>10} {:>10}\n", "port", "COM", "settings",
             "out B", "in B", "lost", "errors", "TX %", "RX %", "lat. med", "lat. p99");
  for (const auto& port : summary.ports) {
    const std::string id = fmt::format("{}.{}", port.adapter, port.number);
    if (!port.opened) fmt::print("  {:<5} {:<6} not opened\n", id, port.com.empty() ? "-" : port.com);
    for (const auto& phase : port.phases) {
      const LatencyFigures latency = Latency(phase.latencies);
      const std::string med = latency.samples ? fmt::format("{:.3f} ms", latency.median) : "-";
      const std::string p99 = latency.samples ? fmt::format("{:.3f} ms", latency.p99) : "-";
      fmt::print("  {:<5} {:<6} {:<22} {:>9} {:>9} {:>6} {:>6} {:>7.2f} {:>7.2f} {:>10} {:>10}\n", id, port.com,
                 phase.line.Text(), phase.written, phase.received, phase.lost, phase.Errors(), phase.TxPercent(),
                 phase.RxPercent(), med, p99);
      for (const auto& problem : phase.problems) fmt::print("        {}\n", problem);
    }
  }
  fmt::print(
      "  (out: bytes the port's writes completed; in: bytes its reads returned; TX/RX: of the line rate over\n"
      "   the phase's sending/receiving span; latency: virtual time from the middle of a byte's stop bit at\n"
      "   the receive pin to the completion of the read that returned it)\n");

  const Verdicts& v = summary.verdicts;
  fmt::print("\nVerifier: {} report(s)\n", v.verifier.size());
  for (const auto& line : v.verifier) fmt::print("  {}\n", line);
  if (v.raceDetectorBuilt)
    fmt::print("Race detector: {} report(s)\n", v.races.size());
  else
    fmt::print("Race detector: not in this build (configure with -DZEL_RACE_DETECTOR=ON for it)\n");
  for (const auto& line : v.races) fmt::print("  {}\n", line);
  fmt::print("Driver {}; pool outstanding after unload: {} block(s)\n",
             v.driverUnloaded ? "unloaded by plug and play" : "still loaded", v.poolOutstanding.size());
  for (const auto& line : v.poolOutstanding) fmt::print("  {}\n", line);
  for (const auto& line : v.stops) fmt::print("Stopped: {}\n", line);
  fmt::print("\n{}\n", summary.Passed() ? "PASS: every byte arrived, nothing was reported"
                                        : "FAIL: see the table and the reports above");
}

bool WriteJson(const RunSummary& summary, const std::string& path, std::string* error) {
  using nlohmann::json;
  json ports = json::array();
  for (const auto& port : summary.ports) {
    json phases = json::array();
    for (const auto& phase : port.phases) {
      const LatencyFigures latency = Latency(phase.latencies);
      phases.push_back({{"settings", phase.line.Text()},
                        {"baud", phase.line.baud},
                        {"handshake", HandshakeName(phase.line.handshake)},
                        {"written", phase.written},
                        {"expected", phase.expected},
                        {"received", phase.received},
                        {"lost", phase.lost},
                        {"mismatched", phase.mismatched},
                        {"errors", phase.Errors()},
                        {"writes", phase.writes},
                        {"reads", phase.reads},
                        {"emptyReads", phase.emptyReads},
                        {"lineErrorBits", phase.lineErrors},
                        {"failedRequests", phase.failedRequests},
                        {"txPercent", phase.TxPercent()},
                        {"rxPercent", phase.RxPercent()},
                        {"latencyMs", {{"samples", latency.samples}, {"median", latency.median}, {"p99", latency.p99}}},
                        {"problems", phase.problems}});
    }
    ports.push_back({{"com", port.com},
                     {"adapter", port.adapter},
                     {"port", port.number},
                     {"opened", port.opened},
                     {"phases", phases}});
  }
  const Verdicts& v = summary.verdicts;
  const Options& o = *summary.options;
  json document = {
      {"seed", o.seed},
      {"adapters", o.adapters},
      {"cable", CableName(o.cable)},
      {"durationPerPhase", o.duration},
      {"virtualSeconds", summary.virtualSeconds},
      {"wallSeconds", summary.wallSeconds},
      {"ports", ports},
      {"verifier", v.verifier},
      {"raceDetector", {{"built", v.raceDetectorBuilt}, {"reports", v.races}}},
      {"driverUnloaded", v.driverUnloaded},
      {"poolOutstanding", v.poolOutstanding},
      {"stops", v.stops},
      {"passed", summary.Passed()},
  };
  std::ofstream file(path);
  if (!file) {
    *error = "cannot open " + path;
    return false;
  }
  file << document.dump(2) << "\n";
  if (!file) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace simulator
