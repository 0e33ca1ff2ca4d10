// Conversion between characteristic bytes and the three text formats "hex", "utf-8", "uint8".
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

enum class FormatType { HEX, UTF8, UINT8 };

// A failed conversion; what() is the message.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Stateless; every operation may be called from any thread. All but binaryToHex and
// UInt8ToBinary throw FormatError.
class Formatter {
 public:
  using Bytes = std::vector<uint8_t>;

  static FormatType formatTypeFromString(const std::string& name);
  static std::string binaryToString(const Bytes& data, const std::string& formatString);
  static std::string binaryToString(const Bytes& data, FormatType format);
  static Bytes stringToBinary(const std::string& text, const std::string& formatString);
  static Bytes stringToBinary(const std::string& text, FormatType format);
  static std::string binaryToHex(const Bytes& data);
  static Bytes HexToBinary(const std::string& text);
  static std::string binaryToUTF8(const Bytes& data);
  static Bytes UTF8ToBinary(const std::string& text);
  static std::string binaryToUInt8(const Bytes& data);
  static Bytes UInt8ToBinary(uint8_t value);
};
