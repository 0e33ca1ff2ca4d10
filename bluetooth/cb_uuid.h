// Bluetooth UUIDs: 16-, 32- and 128-bit, compared by their 128-bit value.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// A value type. Any thread.
class CBUUID {
 public:
  using Bytes128 = std::array<uint8_t, 16>;

  // Parses "180D" (4 hex digits), "0000180D" (8) or the 8-4-4-4-12 form, either case.
  // Returns none for anything else (no trimming here).
  static std::optional<CBUUID> fromString(std::string_view text);
  static CBUUID from16(uint16_t value);
  static CBUUID from32(uint32_t value);
  static CBUUID from128(const Bytes128& bytes);

  // Upper-case text: 4 digits for a UUID in the Bluetooth base range whose value fits 16 bits,
  // 8 digits for one that fits 32 bits, the 8-4-4-4-12 form otherwise.
  std::string UUIDString() const;

  // The readable name of a standard service, characteristic or descriptor UUID, otherwise the
  // same text as UUIDString().
  std::string description() const;

  const Bytes128& bytes() const { return bytes_; }

  friend bool operator==(const CBUUID& a, const CBUUID& b) { return a.bytes_ == b.bytes_; }
  friend bool operator<(const CBUUID& a, const CBUUID& b) { return a.bytes_ < b.bytes_; }

 private:
  explicit CBUUID(const Bytes128& bytes) : bytes_(bytes) {}
  Bytes128 bytes_{};
};

template <>
struct std::hash<CBUUID> {
  size_t operator()(const CBUUID& u) const noexcept;
};

// The readable name of a company identifier, or none. Any thread.
std::optional<std::string> bluetoothCompanyName(uint16_t companyID);
