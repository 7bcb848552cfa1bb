#include "options.h"

#include <CLI/CLI.hpp>

#include <cstdio>

#include "driver_harness.h"

namespace simulator {

const char* CableName(CableKind cable) {
  switch (cable) {
    case CableKind::NullModem: return "null-modem";
    case CableKind::None: return "none";
    default: return "loopback";
  }
}

Parsed ParseOptions(int argc, char** argv) {
  Options options;
  options.seed = harness::SeedFromEnvironment();
  CLI::App app{
      "Plugs blank four-port USB serial adapters into a simulated Windows 2000 machine, lets plug and play\n"
      "download their firmware and name their ports, runs traffic through every port at once, and reports\n"
      "what arrived, how fast, and what the verifier saw. Exit 0: every byte arrived and nothing was reported;\n"
      "1: something failed; 2: bad options."};
  app.add_option("--seed", options.seed, "scheduler seed (default: ZEL_SEED or a fixed value)");
  app.add_option("--capture", options.capture, "write the USB traffic to this pcap file (tshark, Wireshark)");
  app.add_option("--adapters", options.adapters, "how many adapters to plug in")->check(CLI::Range(1, 8));
  std::string cable = "loopback";
  app.add_option("--cable", cable,
                 "what each port has plugged in: loopback plugs, null-modem cables between ports 1-2 and 3-4, "
                 "or nothing (default: loopback)")
      ->check(CLI::IsMember({"loopback", "null-modem", "none"}));
  app.add_option("--baud", options.bauds, "baud rates to run, in order (comma separated)")
      ->delimiter(',')
      ->check(CLI::Range(uint32_t{300}, uint32_t{921600}));
  app.add_option("--duration", options.duration, "virtual seconds of sending at each baud rate")
      ->check(CLI::Range(0.01, 60.0));
  app.add_option("--json", options.json, "also write the summary to this file as JSON");
  app.add_flag("--trace", options.trace, "print command-channel blocks and plug-and-play and power events as they happen");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::printf("%s", app.help().c_str());
    return {std::nullopt, 0};
  } catch (const CLI::ParseError& error) {
    std::string message = error.what();
    if (const auto newline = message.find('\n'); newline != std::string::npos) message.resize(newline);
    std::fprintf(stderr, "simulator: %s (see --help)\n", message.c_str());
    return {std::nullopt, 2};
  }
  options.cable = cable == "none" ? CableKind::None : cable == "null-modem" ? CableKind::NullModem : CableKind::Loopback;
  return {options, 0};
}

}  // namespace simulator
