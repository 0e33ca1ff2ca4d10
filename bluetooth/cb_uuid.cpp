#include "bluetooth/cb_uuid.h"

#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <unordered_map>

namespace {

// The Bluetooth base UUID 00000000-0000-1000-8000-00805F9B34FB: 16- and 32-bit UUIDs are its
// first four bytes replaced.
constexpr CBUUID::Bytes128 kBase = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                    0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses exactly 2*n hex digits into n bytes.
bool parseHexBytes(std::string_view text, uint8_t* out) {
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = hexDigit(text[i]);
    int lo = hexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

bool inBaseRange(const CBUUID::Bytes128& b) {
  return std::equal(b.begin() + 4, b.end(), kBase.begin() + 4);
}

void appendHex(std::string& out, const uint8_t* bytes, size_t n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0xF]);
  }
}

// Name tables, read from the assigned-numbers files on first use so that a process that never
// asks for a name never holds them.
using NameTable = std::unordered_map<std::string, std::string>;

void loadUUIDNames(const std::string& path, NameTable& names) {
  std::ifstream in(path);
  if (!in) return;
  auto records = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  if (!records.is_array()) return;
  for (const auto& r : records) {
    if (!r.is_object() || !r.contains("uuid") || !r.contains("name")) continue;
    if (!r["uuid"].is_string() || !r["name"].is_string()) continue;
    names.emplace(r["uuid"].get<std::string>(), r["name"].get<std::string>());
  }
}

const NameTable& uuidNames() {
  static const NameTable names = [] {
    NameTable t;
    const std::string dir = VELNOR_BLUETOOTH_NUMBERS_DIR;
    for (const char* file :
         {"service_uuids.json", "characteristic_uuids.json", "descriptor_uuids.json"}) {
      loadUUIDNames(dir + "/" + file, t);
    }
    return t;
  }();
  return names;
}

const std::unordered_map<uint16_t, std::string>& companyNames() {
  static const auto names = [] {
    std::unordered_map<uint16_t, std::string> t;
    std::ifstream in(std::string(VELNOR_BLUETOOTH_NUMBERS_DIR) + "/company_ids.json");
    if (!in) return t;
    auto records = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
    if (!records.is_array()) return t;
    for (const auto& r : records) {
      if (!r.is_object() || !r.contains("code") || !r.contains("name")) continue;
      if (!r["code"].is_number_unsigned() || !r["name"].is_string()) continue;
      auto code = r["code"].get<uint64_t>();
      if (code <= 0xFFFF) t.emplace(static_cast<uint16_t>(code), r["name"].get<std::string>());
    }
    return t;
  }();
  return names;
}

}  // namespace

std::optional<CBUUID> CBUUID::fromString(std::string_view text) {
  Bytes128 bytes = kBase;
  if (text.size() == 4) {
    if (!parseHexBytes(text, &bytes[2])) return std::nullopt;
    return CBUUID(bytes);
  }
  if (text.size() == 8) {
    if (!parseHexBytes(text, &bytes[0])) return std::nullopt;
    return CBUUID(bytes);
  }
  if (text.size() != 36) return std::nullopt;
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
    return std::nullopt;
  }
  if (!parseHexBytes(text.substr(0, 8), &bytes[0]) ||
      !parseHexBytes(text.substr(9, 4), &bytes[4]) ||
      !parseHexBytes(text.substr(14, 4), &bytes[6]) ||
      !parseHexBytes(text.substr(19, 4), &bytes[8]) ||
      !parseHexBytes(text.substr(24, 12), &bytes[10])) {
    return std::nullopt;
  }
  return CBUUID(bytes);
}

CBUUID CBUUID::from16(uint16_t value) {
  Bytes128 bytes = kBase;
  bytes[2] = static_cast<uint8_t>(value >> 8);
  bytes[3] = static_cast<uint8_t>(value);
  return CBUUID(bytes);
}

CBUUID CBUUID::from32(uint32_t value) {
  Bytes128 bytes = kBase;
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  return CBUUID(bytes);
}

CBUUID CBUUID::from128(const Bytes128& bytes) {
  return CBUUID(bytes);
}

std::string CBUUID::UUIDString() const {
  std::string out;
  if (inBaseRange(bytes_)) {
    if (bytes_[0] == 0 && bytes_[1] == 0) {
      appendHex(out, &bytes_[2], 2);
    } else {
      appendHex(out, &bytes_[0], 4);
    }
    return out;
  }
  out.reserve(36);
  appendHex(out, &bytes_[0], 4);
  out.push_back('-');
  appendHex(out, &bytes_[4], 2);
  out.push_back('-');
  appendHex(out, &bytes_[6], 2);
  out.push_back('-');
  appendHex(out, &bytes_[8], 2);
  out.push_back('-');
  appendHex(out, &bytes_[10], 6);
  return out;
}

std::string CBUUID::description() const {
  std::string text = UUIDString();
  const auto& names = uuidNames();
  auto it = names.find(text);
  return it != names.end() ? it->second : text;
}

size_t std::hash<CBUUID>::operator()(const CBUUID& u) const noexcept {
  size_t h = 1469598103934665603ull;
  for (uint8_t b : u.bytes()) h = (h ^ b) * 1099511628211ull;
  return h;
}

std::optional<std::string> bluetoothCompanyName(uint16_t companyID) {
  const auto& names = companyNames();
  auto it = names.find(companyID);
  if (it == names.end()) return std::nullopt;
  return it->second;
}
