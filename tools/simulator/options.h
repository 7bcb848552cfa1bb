// The simulator's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simulator {

enum class CableKind { Loopback, NullModem, None };
const char* CableName(CableKind cable);

struct Options {
  uint64_t seed = 0;
  std::optional<std::string> capture;  // pcap of the USB traffic
  int adapters = 1;
  CableKind cable = CableKind::Loopback;
  std::vector<uint32_t> bauds = {9600, 57600, 115200, 460800};
  double duration = 1.0;  // virtual seconds of sending at each baud rate
  std::optional<std::string> json;
  bool trace = false;
};

// Parses the command line. Returns the options, or the exit code when the run should end at
// once: 0 after --help (printed), 2 after a one-line error on stderr.
struct Parsed {
  std::optional<Options> options;
  int exitCode = 0;
};
Parsed ParseOptions(int argc, char** argv);

}  // namespace simulator
