#include "adapter_model/faults.h"

namespace adapter_model {
namespace {

// One use of a counted rule; false once it is spent.
bool Use(int& count) {
  if (count == 0) return false;
  if (count > 0) --count;
  return true;
}

}  // namespace

void Faults::LoseCommands(uint8_t code, uint8_t port, int count) {
  commandRules_.push_back({code, port, {false, false, 0}, count});
}

void Faults::WithholdAnswers(uint8_t code, uint8_t port, int count) {
  commandRules_.push_back({code, port, {true, false, 0}, count});
}

void Faults::DelayAnswers(VirtualTime delay, uint8_t code, uint8_t port, int count) {
  commandRules_.push_back({code, port, {true, true, delay}, count});
}

Faults::CommandFate Faults::TakeCommandFate(uint8_t code, uint8_t port) {
  for (auto& rule : commandRules_) {
    if (rule.count == 0) continue;
    if (rule.code != kAny && rule.code != code) continue;
    if (rule.port != kAny && rule.port != port) continue;
    Use(rule.count);
    return rule.fate;
  }
  return {};
}

void Faults::FailPackets(uint8_t endpoint, int count) { failures_[endpoint] = count; }

void Faults::ShortenPackets(uint8_t endpoint, size_t maxBytes, int count, bool dropRest) {
  shortenings_[endpoint] = {{maxBytes, dropRest}, count};
}

void Faults::HaltEndpointAfter(uint8_t endpoint, uint64_t goodPackets) { haltAfter_[endpoint] = goodPackets; }

bool Faults::TakeFailure(uint8_t endpoint) {
  auto it = failures_.find(endpoint);
  return it != failures_.end() && Use(it->second);
}

std::optional<Faults::Shortening> Faults::TakeShortening(uint8_t endpoint) {
  auto it = shortenings_.find(endpoint);
  if (it == shortenings_.end() || !Use(it->second.count)) return std::nullopt;
  return it->second.shortening;
}

bool Faults::TakeHalt(uint8_t endpoint) {
  auto it = haltAfter_.find(endpoint);
  if (it == haltAfter_.end()) return false;
  if (it->second > 0) {
    --it->second;
    return false;
  }
  haltAfter_.erase(it);
  return true;
}

void Faults::UnplugAt(VirtualTime when) {
  unplugAlarm_.At(when, [this] {
    if (onUnplug) onUnplug();
  });
}

void Faults::UnplugAfterPackets(uint8_t endpoint, uint64_t packets) { unplugAfter_[endpoint] = packets; }

bool Faults::CountPacket(uint8_t endpoint) {
  auto it = unplugAfter_.find(endpoint);
  if (it == unplugAfter_.end()) return false;
  if (it->second > 1) {
    --it->second;
    return false;
  }
  unplugAfter_.erase(it);
  return true;
}

void Faults::Clear() {
  commandRules_.clear();
  failures_.clear();
  shortenings_.clear();
  haltAfter_.clear();
  unplugAfter_.clear();
  unplugAlarm_.Cancel();
}

}  // namespace adapter_model
