#include "platform/number_text.h"

#include <charconv>
#include <cmath>

std::string shortestDoubleText(double value) {
  char buffer[64];
  double magnitude = std::fabs(value);
  bool plain = value == 0 || (magnitude >= 1e-4 && magnitude < 1e16);
  auto format = plain ? std::chars_format::fixed : std::chars_format::scientific;
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, format);
  std::string text(buffer, ec == std::errc() ? end : buffer);
  if (plain && text.find('.') == std::string::npos) text += ".0";
  return text;
}
