// Fault switches of a bus port: what a faulty lower driver reports about the transfers of
// one pipe, how the hub answers set-power requests, and a device losing power asleep.
#include <algorithm>
#include <stdexcept>
#include <utility>

#include "simkernel/usb_bus.h"

namespace sim::usb {
namespace {

template <class Rules>
bool Take(Rules& rules, uint8_t endpoint, long* value) {
  auto it = rules.find(endpoint);
  if (it == rules.end()) return false;
  *value = it->second.value;
  if (it->second.count != BusPort::kForever && --it->second.count <= 0) rules.erase(it);
  return true;
}

}  // namespace

void BusPort::AcknowledgeOutShort(uint8_t endpoint, ULONG missing, int count) {
  if (count == 0) return;
  lengthFaults_[endpoint] = Rule{-static_cast<long>(missing), count};
}

void BusPort::ReportInLonger(uint8_t endpoint, ULONG extra, int count) {
  if (count == 0) return;
  lengthFaults_[endpoint] = Rule{static_cast<long>(extra), count};
}

void BusPort::SendZeroLengthIn(uint8_t endpoint, int count) {
  if (count == 0) return;
  zeroLengthIn_[endpoint] = Rule{0, count};
}

void BusPort::PendSetPower(int count) { pendSetPower_ = Rule{0, count == kForever ? count : std::max(count, 0)}; }

void BusPort::FailSetPower(NTSTATUS status, int count) {
  // A "failure" with a success status would complete the request as done without doing it.
  if (NT_SUCCESS(status)) throw std::invalid_argument("FailSetPower needs an error status");
  failSetPower_ = Rule{status, count == kForever ? count : std::max(count, 0)};
}

void BusPort::ClearFaults() {
  lengthFaults_.clear();
  zeroLengthIn_.clear();
  pendSetPower_ = failSetPower_ = Rule{0, 0};
  powerLoss_ = false;
}

long BusPort::TakeLengthFault(uint8_t endpoint) {
  long delta = 0;
  return Take(lengthFaults_, endpoint, &delta) ? delta : 0;
}

bool BusPort::TakeZeroLengthIn(uint8_t endpoint) {
  long unused = 0;
  return Take(zeroLengthIn_, endpoint, &unused);
}

bool BusPort::TakeRule(Rule& rule) {
  if (rule.count == 0) return false;
  if (rule.count != kForever) --rule.count;
  return true;
}

bool BusPort::TakeSetPowerPend() { return TakeRule(pendSetPower_); }

NTSTATUS BusPort::TakeSetPowerFailure() {
  const auto status = static_cast<NTSTATUS>(failSetPower_.value);
  return TakeRule(failSetPower_) ? status : STATUS_SUCCESS;
}

bool BusPort::TakePowerLoss() { return std::exchange(powerLoss_, false); }

}  // namespace sim::usb
