#include "format/json_text.h"

#include <cstdint>

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the valid UTF-8 sequence at the start of `text` (at least one byte given, not
// ASCII), or 0 when it is invalid or cut off. `used` is how many bytes belong to the bad part:
// the lead byte and the continuation bytes that fitted.
size_t validSequence(std::string_view text, size_t& used) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  uint8_t lead = byte(0);
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    used = 1;
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    bool fits =
        i < text.size() && byte(i) >= (i == 1 ? low : 0x80) && byte(i) <= (i == 1 ? high : 0xBF);
    if (!fits) {
      used = i;
      return 0;
    }
  }
  return length;
}

void appendEscaped(std::string& out, char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      out += "\\u00";
      out += kHex[(c >> 4) & 0xF];
      out += kHex[c & 0xF];
  }
}

bool needsWork(char c) {
  auto b = static_cast<uint8_t>(c);
  return b < 0x20 || b >= 0x80 || c == '"' || c == '\\';
}

// The length of the written text when `text` is valid UTF-8. Reserved at once, with a little
// room for the closing brackets after it, so that a long text is not copied again midway.
size_t escapedLength(std::string_view text) {
  size_t length = text.size() + 2;
  for (char c : text) {
    auto b = static_cast<uint8_t>(c);
    if (c == '"' || c == '\\' || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') {
      length += 1;
    } else if (b < 0x20) {
      length += 5;
    }
  }
  return length;
}

}  // namespace

void appendJSONString(std::string& out, std::string_view text) {
  constexpr size_t kRoomAfter = 16;
  out.reserve(out.size() + escapedLength(text) + kRoomAfter);
  out += '"';
  size_t i = 0;
  while (i < text.size()) {
    size_t plain = i;
    while (plain < text.size() && !needsWork(text[plain])) ++plain;
    out.append(text.data() + i, plain - i);
    i = plain;
    if (i == text.size()) break;
    if (static_cast<uint8_t>(text[i]) < 0x80) {
      appendEscaped(out, text[i++]);
      continue;
    }
    size_t used = 0;
    size_t length = validSequence(text.substr(i), used);
    if (length > 0) {
      out.append(text.data() + i, length);
      i += length;
    } else {
      out += kReplacement;
      i += used;
    }
  }
  out += '"';
}

bool isValidUTF8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    if (static_cast<uint8_t>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    size_t used = 0;
    size_t length = validSequence(text.substr(i), used);
    if (length == 0) return false;
    i += length;
  }
  return true;
}
