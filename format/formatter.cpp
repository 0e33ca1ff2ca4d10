#include "format/formatter.h"

#include <cstdio>
#include <optional>

#include "format/utf8.h"

namespace {

bool isValidUTF8(const std::string& text) {
  for (size_t pos = 0; pos < text.size();) {
    if (!decodeUTF8(text, pos)) return false;
  }
  return true;
}

// Unicode White_Space.
bool isWhiteSpace(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int hexDigitValue(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  return -1;
}

// A decimal integer: one optional sign, then one or more ASCII digits. None outside 0...255.
std::optional<uint8_t> parseUInt8(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  unsigned value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
    if (value > 255) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<uint8_t>(value);
}

}  // namespace

FormatType Formatter::formatTypeFromString(const std::string& name) {
  std::string lower;
  for (char c : name) lower += asciiLower(c);
  if (lower == "hex") return FormatType::HEX;
  if (lower == "utf-8") return FormatType::UTF8;
  if (lower == "uint8") return FormatType::UINT8;
  throw FormatError("Unknown format type");
}

std::string Formatter::binaryToString(const Bytes& data, const std::string& formatString) {
  return binaryToString(data, formatTypeFromString(formatString));
}

std::string Formatter::binaryToString(const Bytes& data, FormatType format) {
  switch (format) {
    case FormatType::HEX:
      return binaryToHex(data);
    case FormatType::UTF8:
      return binaryToUTF8(data);
    case FormatType::UINT8:
      return binaryToUInt8(data);
  }
  throw FormatError("Unknown format type");
}

Formatter::Bytes Formatter::stringToBinary(const std::string& text,
                                           const std::string& formatString) {
  return stringToBinary(text, formatTypeFromString(formatString));
}

Formatter::Bytes Formatter::stringToBinary(const std::string& text, FormatType format) {
  switch (format) {
    case FormatType::HEX:
      return HexToBinary(text);
    case FormatType::UTF8:
      return UTF8ToBinary(text);
    case FormatType::UINT8: {
      std::optional<uint8_t> value = parseUInt8(text);
      if (!value) throw FormatError("Invalid UInt8: " + text);
      return UInt8ToBinary(*value);
    }
  }
  throw FormatError("Unknown format type");
}

std::string Formatter::binaryToHex(const Bytes& data) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(data.size() * 2);
  for (uint8_t b : data) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

Formatter::Bytes Formatter::HexToBinary(const std::string& text) {
  // Characters left after lower-casing and removing white space; invalid bytes count as one
  // character each and then fail the digit check.
  std::vector<char32_t> chars;
  for (size_t pos = 0; pos < text.size();) {
    size_t start = pos;
    std::optional<char32_t> c = decodeUTF8(text, pos);
    char32_t ch = c ? *c : static_cast<char32_t>(0xFFFD);
    if (c && isWhiteSpace(ch)) continue;
    if (ch < 0x80) ch = static_cast<char32_t>(asciiLower(static_cast<char>(text[start])));
    chars.push_back(ch);
  }
  if (chars.size() % 2 != 0) throw FormatError("Hex string must have an even number of characters");
  Bytes bytes;
  bytes.reserve(chars.size() / 2);
  for (size_t i = 0; i < chars.size(); i += 2) {
    int high = hexDigitValue(chars[i]);
    int low = hexDigitValue(chars[i + 1]);
    if (high < 0 || low < 0) throw FormatError("Hex string must only contain valid hex digits");
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

std::string Formatter::binaryToUTF8(const Bytes& data) {
  std::string text(data.begin(), data.end());
  if (!isValidUTF8(text)) throw FormatError("Failed to convert data to UTF-8 string");
  return text;
}

Formatter::Bytes Formatter::UTF8ToBinary(const std::string& text) {
  if (!isValidUTF8(text)) throw FormatError("Invalid UTF-8 data");
  return Bytes(text.begin(), text.end());
}

std::string Formatter::binaryToUInt8(const Bytes& data) {
  if (data.size() != 1) throw FormatError("Data must be 1 byte long");
  return std::to_string(data[0]);
}

Formatter::Bytes Formatter::UInt8ToBinary(uint8_t value) {
  return Bytes{value};
}
