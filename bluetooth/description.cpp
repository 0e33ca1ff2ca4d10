#include "bluetooth/description.h"

#include <algorithm>
#include <cstdio>

std::string pointerText(const void* object) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", object);
  return text;
}

std::string hexText(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

std::string describeValue(const std::optional<std::vector<uint8_t>>& value) {
  if (!value) return "(null)";
  std::string text = "{length = " + std::to_string(value->size()) + ", bytes = 0x";
  static constexpr char kDigits[] = "0123456789abcdef";
  size_t shown = std::min<size_t>(value->size(), 24);
  for (size_t i = 0; i < shown; ++i) {
    text.push_back(kDigits[(*value)[i] >> 4]);
    text.push_back(kDigits[(*value)[i] & 0xF]);
  }
  if (shown < value->size()) text += "...";
  return text + "}";
}
