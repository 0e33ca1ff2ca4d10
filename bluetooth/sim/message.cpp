#include "bluetooth/sim/message.h"

#include <random>

namespace sim {

// FNV-1a over all sixteen bytes: emulated ids often differ only in their last digits.
size_t NodeIdHash::operator()(const NodeId& id) const noexcept {
  size_t h = 1469598103934665603ull;
  for (uint8_t b : id) h = (h ^ b) * 1099511628211ull;
  return h;
}

NodeId randomNodeId() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  NodeId id;
  for (size_t i = 0; i < 16; i += 8) {
    uint64_t r = engine();
    for (size_t j = 0; j < 8; ++j) id[i + j] = static_cast<uint8_t>(r >> (8 * j));
  }
  id[6] = static_cast<uint8_t>((id[6] & 0x0F) | 0x40);
  id[8] = static_cast<uint8_t>((id[8] & 0x3F) | 0x80);
  return id;
}

std::string nodeIdText(const NodeId& id) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kDigits[id[i] >> 4]);
    text.push_back(kDigits[id[i] & 0xF]);
  }
  return text;
}

std::optional<NodeId> parseNodeId(const std::string& text) {
  if (text.size() != 36) return std::nullopt;
  auto uuid = CBUUID::fromString(text);
  if (!uuid) return std::nullopt;
  return uuid->bytes();
}

namespace {

// The wire form is little-endian and length-prefixed; every read is bounds-checked.
class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
  void u8(uint8_t v) { out_.push_back(v); }
  void u16(uint16_t v) {
    u8(static_cast<uint8_t>(v));
    u8(static_cast<uint8_t>(v >> 8));
  }
  void u32(uint32_t v) {
    u16(static_cast<uint16_t>(v));
    u16(static_cast<uint16_t>(v >> 16));
  }
  void raw(const uint8_t* p, size_t n) { out_.insert(out_.end(), p, p + n); }
  void bytes(const std::vector<uint8_t>& v) {
    u32(static_cast<uint32_t>(v.size()));
    raw(v.data(), v.size());
  }
  void text(const std::string& s) {
    u32(static_cast<uint32_t>(s.size()));
    raw(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }
  void uuid(const CBUUID& u) { raw(u.bytes().data(), 16); }

 private:
  std::vector<uint8_t>& out_;
};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size, size_t pos) : data_(data), size_(size), pos_(pos) {}
  bool ok() const { return ok_; }
  size_t pos() const { return pos_; }
  uint8_t u8() { return take(1) ? data_[pos_ - 1] : 0; }
  uint16_t u16() {
    uint16_t lo = u8();
    return static_cast<uint16_t>(lo | u8() << 8);
  }
  uint32_t u32() {
    uint32_t lo = u16();
    return lo | static_cast<uint32_t>(u16()) << 16;
  }
  std::vector<uint8_t> bytes() {
    uint32_t n = u32();
    if (!take(n)) return {};
    return {data_ + pos_ - n, data_ + pos_};
  }
  std::string text() {
    auto b = bytes();
    return {b.begin(), b.end()};
  }
  CBUUID uuid() {
    CBUUID::Bytes128 b{};
    if (take(16)) std::copy(data_ + pos_ - 16, data_ + pos_, b.begin());
    return CBUUID::from128(b);
  }
  NodeId nodeId() { return uuid().bytes(); }
  // A count of items of at least `minSize` bytes each that the rest of the buffer can hold.
  uint32_t count(size_t minSize) {
    uint32_t n = u32();
    if (ok_ && n > (size_ - pos_) / minSize) ok_ = false;
    return ok_ ? n : 0;
  }

 private:
  bool take(size_t n) {
    if (!ok_ || n > size_ - pos_) {
      ok_ = false;
      return false;
    }
    pos_ += n;
    return true;
  }
  const uint8_t* data_;
  size_t size_;
  size_t pos_;
  bool ok_ = true;
};

enum AdvertisementFields : uint8_t {
  kGapName = 1,
  kLocalName = 2,
  kManufacturerData = 4,
  kServiceUUIDs = 8,
  kServiceData = 16,
  kConnectable = 32,
};

void encodeAdvertisement(const Advertisement& a, Writer& w) {
  uint8_t fields = (a.gapName ? kGapName : 0) | (a.localName ? kLocalName : 0) |
                   (a.manufacturerData ? kManufacturerData : 0) |
                   (a.serviceUUIDs ? kServiceUUIDs : 0) | (a.serviceData ? kServiceData : 0) |
                   (a.connectable ? kConnectable : 0);
  w.u8(fields);
  if (a.gapName) w.text(*a.gapName);
  if (a.localName) w.text(*a.localName);
  if (a.manufacturerData) w.bytes(*a.manufacturerData);
  if (a.serviceUUIDs) {
    w.u32(static_cast<uint32_t>(a.serviceUUIDs->size()));
    for (const auto& u : *a.serviceUUIDs) w.uuid(u);
  }
  if (a.serviceData) {
    w.u32(static_cast<uint32_t>(a.serviceData->size()));
    for (const auto& [u, d] : *a.serviceData) {
      w.uuid(u);
      w.bytes(d);
    }
  }
}

std::shared_ptr<const Advertisement> decodeAdvertisement(Reader& r) {
  auto a = std::make_shared<Advertisement>();
  uint8_t fields = r.u8();
  if (fields & kGapName) a->gapName = r.text();
  if (fields & kLocalName) a->localName = r.text();
  if (fields & kManufacturerData) a->manufacturerData = r.bytes();
  if (fields & kServiceUUIDs) {
    a->serviceUUIDs.emplace();
    for (uint32_t n = r.count(16); n > 0; --n) a->serviceUUIDs->push_back(r.uuid());
  }
  if (fields & kServiceData) {
    a->serviceData.emplace();
    for (uint32_t n = r.count(20); n > 0; --n) {
      CBUUID u = r.uuid();
      (*a->serviceData)[u] = r.bytes();
    }
  }
  a->connectable = (fields & kConnectable) != 0;
  return a;
}

constexpr uint8_t kLastType = static_cast<uint8_t>(MessageType::power);

}  // namespace

void encodeMessage(const Message& m, std::vector<uint8_t>& out) {
  Writer w(out);
  w.u8(static_cast<uint8_t>(m.type));
  w.raw(m.src.data(), 16);
  w.raw(m.dst.data(), 16);
  w.u32(m.request);
  w.u32(m.handle);
  w.u8(m.code);
  w.u8(m.flag ? 1 : 0);
  w.u16(static_cast<uint16_t>(m.rssi));
  w.u16(m.mtu);
  w.bytes(m.value);
  w.u8(m.advertisement ? 1 : 0);
  if (m.advertisement) encodeAdvertisement(*m.advertisement, w);
  w.u32(static_cast<uint32_t>(m.services.size()));
  for (const auto& s : m.services) {
    w.u32(s.handle);
    w.uuid(s.uuid);
    w.u8(s.primary ? 1 : 0);
  }
  w.u32(static_cast<uint32_t>(m.characteristics.size()));
  for (const auto& c : m.characteristics) {
    w.u32(c.handle);
    w.uuid(c.uuid);
    w.u32(c.properties);
  }
}

std::optional<Message> decodeMessage(const uint8_t* data, size_t size, size_t& pos) {
  Reader r(data, size, pos);
  Message m;
  uint8_t type = r.u8();
  if (type == 0 || type > kLastType || type == static_cast<uint8_t>(MessageType::linkLost)) {
    return std::nullopt;
  }
  m.type = static_cast<MessageType>(type);
  m.src = r.nodeId();
  m.dst = r.nodeId();
  m.request = r.u32();
  m.handle = r.u32();
  m.code = r.u8();
  m.flag = r.u8() != 0;
  m.rssi = static_cast<int16_t>(r.u16());
  m.mtu = r.u16();
  m.value = r.bytes();
  if (r.u8() != 0) m.advertisement = decodeAdvertisement(r);
  for (uint32_t n = r.count(21); n > 0; --n) {
    ServiceEntry s;
    s.handle = r.u32();
    s.uuid = r.uuid();
    s.primary = r.u8() != 0;
    m.services.push_back(s);
  }
  for (uint32_t n = r.count(24); n > 0; --n) {
    CharacteristicEntry c;
    c.handle = r.u32();
    c.uuid = r.uuid();
    c.properties = r.u32();
    m.characteristics.push_back(c);
  }
  if (!r.ok()) return std::nullopt;
  if (m.type == MessageType::advertisement && !m.advertisement) return std::nullopt;
  pos = r.pos();
  return m;
}

}  // namespace sim
