// Fault switches of a bus port: what a faulty lower driver reports about the transfers of
// one pipe.
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

void BusPort::ClearFaults() {
  lengthFaults_.clear();
  zeroLengthIn_.clear();
}

long BusPort::TakeLengthFault(uint8_t endpoint) {
  long delta = 0;
  return Take(lengthFaults_, endpoint, &delta) ? delta : 0;
}

bool BusPort::TakeZeroLengthIn(uint8_t endpoint) {
  long unused = 0;
  return Take(zeroLengthIn_, endpoint, &unused);
}

}  // namespace sim::usb
