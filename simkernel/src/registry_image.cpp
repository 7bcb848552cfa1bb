// The hive as a disk image, so that a test can restart the machine and keep its registry.
// Layout, little-endian: the magic, then the root key; a key is its name, its values (name,
// type, data) and its non-volatile subkeys, each count and length a 32-bit word, names UTF-16.
#include <cstring>

#include "registry_internal.h"

namespace sim::reg {
namespace {

constexpr char kMagic[8] = {'Z', 'E', 'L', 'H', 'I', 'V', 'E', '1'};
constexpr int kMaxDepth = 512;  // the system's own limit on key nesting

class Writer {
 public:
  void Word(uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  void Name(std::u16string_view name) {
    Word(static_cast<uint32_t>(name.size()));
    for (char16_t c : name) {
      bytes.push_back(static_cast<uint8_t>(c));
      bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
  }
  void Key(const reg::Key& key) {
    Name(key.name);
    Word(static_cast<uint32_t>(key.values.size()));
    for (const auto& value : key.values) {
      Name(value.name);
      Word(value.type);
      Word(static_cast<uint32_t>(value.data.size()));
      bytes.insert(bytes.end(), value.data.begin(), value.data.end());
    }
    uint32_t kept = 0;
    for (const auto& [folded, child] : key.subkeys) kept += child->isVolatile ? 0 : 1;
    Word(kept);
    for (const auto& [folded, child] : key.subkeys)
      if (!child->isVolatile) Key(*child);
  }
  std::vector<uint8_t> bytes;
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool Word(uint32_t* value) {
    if (bytes_.size() - offset_ < 4) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) *value |= uint32_t{bytes_[offset_ + i]} << (8 * i);
    offset_ += 4;
    return true;
  }
  bool Name(std::u16string* name) {
    uint32_t length;
    if (!Word(&length) || (bytes_.size() - offset_) / 2 < length) return false;
    name->resize(length);
    for (uint32_t i = 0; i < length; ++i) {
      (*name)[i] = static_cast<char16_t>(bytes_[offset_] | (bytes_[offset_ + 1] << 8));
      offset_ += 2;
    }
    return name->find(u'\\') == std::u16string::npos;
  }
  bool Data(std::vector<uint8_t>* data) {
    uint32_t length;
    if (!Word(&length) || bytes_.size() - offset_ < length) return false;
    data->assign(bytes_.begin() + offset_, bytes_.begin() + offset_ + length);
    offset_ += length;
    return true;
  }
  std::shared_ptr<reg::Key> Key(int depth) {
    auto key = std::make_shared<reg::Key>();
    uint32_t values, subkeys;
    if (depth > kMaxDepth || !Name(&key->name) || (depth > 0 && key->name.empty()) || !Word(&values)) return nullptr;
    for (uint32_t i = 0; i < values; ++i) {
      registry::Value value;
      if (!Name(&value.name) || !Word(&value.type) || !Data(&value.data) || key->FindValue(value.name)) return nullptr;
      key->values.push_back(std::move(value));
    }
    if (!Word(&subkeys)) return nullptr;
    for (uint32_t i = 0; i < subkeys; ++i) {
      auto child = Key(depth + 1);
      if (!child || !key->subkeys.emplace(iom::Fold(child->name), child).second) return nullptr;
    }
    return key;
  }
  bool AtEnd() const { return offset_ == bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
  size_t offset_ = 0;
};

}  // namespace
}  // namespace sim::reg

namespace sim::registry {

std::vector<uint8_t> Export() {
  reg::Writer writer;
  writer.bytes.assign(std::begin(reg::kMagic), std::end(reg::kMagic));
  writer.Key(*reg::Registry().root);
  return std::move(writer.bytes);
}

bool Import(std::span<const uint8_t> image) {
  if (image.size() < sizeof reg::kMagic || std::memcmp(image.data(), reg::kMagic, sizeof reg::kMagic) != 0)
    return false;
  reg::Reader reader(image.subspan(sizeof reg::kMagic));
  auto root = reader.Key(0);
  if (!root || !reader.AtEnd() || iom::Fold(root->name) != u"REGISTRY" || !root->subkeys.count(u"MACHINE") ||
      !root->subkeys.count(u"USER"))
    return false;
  reg::Registry().root = root;
  return true;
}

}  // namespace sim::registry
