// The Ports class installer's part: a COM name for each port device instance, taken from the
// COM name database (the arbiter's "ComDB" bitmap) and kept in the device key.
#include <cstdio>
#include <string>

#include "pnp_internal.h"
#include "simkernel/registry.h"

namespace sim::pnpm {
namespace {

// COM1 and COM2 belong to the machine's own serial ports.
constexpr unsigned kFirstComNumber = 3;
constexpr size_t kComDbBytes = 32;  // the database's initial size: 256 names

std::u16string DeviceParameters(std::u16string_view instancePath) {
  return std::u16string(registry::kEnum) + u"\\" + std::u16string(instancePath) + u"\\Device Parameters";
}

std::vector<uint8_t> LoadComDb() {
  auto value = registry::GetValue(pnp::kComNameArbiter, u"ComDB");
  std::vector<uint8_t> bits = value && value->type == REG_BINARY ? value->data : std::vector<uint8_t>{};
  if (bits.size() < kComDbBytes) bits.resize(kComDbBytes, 0);
  return bits;
}

void StoreComDb(const std::vector<uint8_t>& bits) {
  registry::SetValue(pnp::kComNameArbiter, u"ComDB", REG_BINARY, bits);
}

// n of "COMn" (1..4096), or 0.
unsigned ComNumber(std::u16string_view name) {
  if (name.size() < 4 || name.size() > 7) return 0;
  if ((name[0] | 0x20) != u'c' || (name[1] | 0x20) != u'o' || (name[2] | 0x20) != u'm') return 0;
  unsigned n = 0;
  for (char16_t c : name.substr(3)) {
    if (c < u'0' || c > u'9') return 0;
    n = n * 10 + (c - u'0');
  }
  return n >= 1 && n <= 4096 && name[3] != u'0' ? n : 0;
}

void SetBit(std::vector<uint8_t>& bits, unsigned n, bool on) {
  const size_t byte = (n - 1) / 8;
  if (byte >= bits.size()) bits.resize(byte + 1, 0);
  const uint8_t mask = uint8_t(1u << ((n - 1) % 8));
  bits[byte] = on ? bits[byte] | mask : bits[byte] & ~mask;
}

bool BitSet(const std::vector<uint8_t>& bits, unsigned n) {
  const size_t byte = (n - 1) / 8;
  return byte < bits.size() && (bits[byte] >> ((n - 1) % 8) & 1);
}

}  // namespace

void AssignComName(NodeRec& node) {
  const std::u16string key = DeviceParameters(node.path);
  std::vector<uint8_t> bits = LoadComDb();
  if (auto kept = registry::GetValue(key, u"PortName")) {
    // A name already there (ours from an earlier arrival, or set by hand) stays; a COMn claims its number.
    if (auto name = registry::GetSz(key, u"PortName"); name && kept->type == REG_SZ)
      if (unsigned n = ComNumber(*name)) {
        SetBit(bits, n, true);
        StoreComDb(bits);
      }
    return;
  }
  unsigned n = kFirstComNumber;
  while (BitSet(bits, n)) ++n;
  SetBit(bits, n, true);
  StoreComDb(bits);
  registry::SetSz(key, u"PortName", u"COM" + [n] {
    const std::string digits = std::to_string(n);
    return std::u16string(digits.begin(), digits.end());
  }());
}

void FreeComName(std::u16string_view instancePath) {
  auto name = registry::GetSz(DeviceParameters(instancePath), u"PortName");
  const unsigned n = name ? ComNumber(*name) : 0;
  if (!n) return;
  std::vector<uint8_t> bits = LoadComDb();
  SetBit(bits, n, false);
  StoreComDb(bits);
}

}  // namespace sim::pnpm

namespace sim::pnp {

std::vector<unsigned> ComNamesInUse() {
  std::vector<unsigned> taken;
  auto value = registry::GetValue(kComNameArbiter, u"ComDB");
  if (!value) return taken;
  for (unsigned n = 1; n <= value->data.size() * 8; ++n)
    if (value->data[(n - 1) / 8] >> ((n - 1) % 8) & 1) taken.push_back(n);
  return taken;
}

}  // namespace sim::pnp
