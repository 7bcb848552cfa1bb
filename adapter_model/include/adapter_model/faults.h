// Faults a test switches on for one adapter. Command faults are applied by the firmware to
// the answer of a command (the command-complete block, the status reply of command 8, the
// echo of command 14); transfer faults by the USB controller to single packets; an unplug
// goes through the port the bus gave the adapter. Every rule applies to the next matching
// events, `count` of them (kForever: until Clear).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "adapter_model/clock.h"

namespace adapter_model {

class Faults {
 public:
  static constexpr int kForever = -1;
  static constexpr uint8_t kAny = 0;

  // ---- Commands (code and port kAny match every command)
  // Neither carried out nor answered, as if the packet were lost inside the firmware.
  void LoseCommands(uint8_t code = kAny, uint8_t port = kAny, int count = kForever);
  // Carried out, never answered.
  void WithholdAnswers(uint8_t code = kAny, uint8_t port = kAny, int count = kForever);
  // Carried out, answered `delay` later.
  void DelayAnswers(VirtualTime delay, uint8_t code = kAny, uint8_t port = kAny, int count = kForever);

  struct CommandFate {
    bool execute = true;
    bool answer = true;
    VirtualTime delay = 0;
  };
  // Consumes one use of the first rule that matches.
  CommandFate TakeCommandFate(uint8_t code, uint8_t port);

  // ---- Packets on one endpoint
  // Answered STALL, `count` packets; nothing is consumed and the endpoint is not halted, so
  // the transfer fails but the next one works.
  void FailPackets(uint8_t endpoint, int count = 1);
  // IN packets carry at most `maxBytes`. The rest of the data stays for the next packet,
  // or is thrown away with `dropRest` (a block cut short).
  void ShortenPackets(uint8_t endpoint, size_t maxBytes, int count = 1, bool dropRest = false);
  // The endpoint halts (STALL until reset) at its packet after the next `goodPackets`.
  void HaltEndpointAfter(uint8_t endpoint, uint64_t goodPackets = 0);

  struct Shortening {
    size_t maxBytes;
    bool dropRest;
  };
  bool TakeFailure(uint8_t endpoint);
  std::optional<Shortening> TakeShortening(uint8_t endpoint);
  bool TakeHalt(uint8_t endpoint);

  // ---- Unplugging
  void UnplugAt(VirtualTime when);
  // Unplugged just after the endpoint has handled this many more packets (at least one).
  void UnplugAfterPackets(uint8_t endpoint, uint64_t packets);
  // Counts a handled packet; true when that packet is the one to unplug after.
  bool CountPacket(uint8_t endpoint);
  // Set by the adapter: what an unplug does.
  std::function<void()> onUnplug;

  void Clear();

 private:
  struct CommandRule {
    uint8_t code;
    uint8_t port;
    CommandFate fate;
    int count;
  };
  struct ShortRule {
    Shortening shortening;
    int count;
  };

  std::vector<CommandRule> commandRules_;
  std::map<uint8_t, int> failures_;
  std::map<uint8_t, ShortRule> shortenings_;
  std::map<uint8_t, uint64_t> haltAfter_;
  std::map<uint8_t, uint64_t> unplugAfter_;
  Alarm unplugAlarm_;
};

}  // namespace adapter_model
