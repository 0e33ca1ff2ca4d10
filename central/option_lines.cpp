#include "central/option_lines.h"

#include <locale.h>

#include <cstdlib>

namespace {

constexpr char kLineSeparator = '\r';
constexpr std::string_view kKelvinSign = "\xE2\x84\xAA";  // U+212A, lower-cases to "k"

// The C locale, made once, so that number reading never depends on the process's locale.
locale_t cLocale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

bool startsWithBlankOrNul(std::string_view text) {
  switch (text.front()) {
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
    case '\0':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::vector<std::string_view> splitOptionLines(std::string_view text) {
  std::vector<std::string_view> lines;
  if (text.empty()) return lines;
  size_t start = 0;
  while (true) {
    size_t end = text.find(kLineSeparator, start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

std::optional<OptionLine> splitOptionLine(std::string_view line) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start <= line.size()) {
    size_t end = line.find('=', start);
    if (end == std::string_view::npos) end = line.size();
    if (end > start) {
      pieces.push_back(line.substr(start, end - start));
      if (pieces.size() > 2) return std::nullopt;
    }
    start = end + 1;
  }
  OptionLine result;
  if (pieces.size() == 2) {
    result.key = pieces[0];
    result.value = pieces[1];
  } else if (pieces.size() == 1 && line.back() == '=') {
    result.key = pieces[0];
  } else {
    return std::nullopt;
  }
  result.lowerKey = lowercasedForComparison(result.key);
  return result;
}

std::string lowercasedForComparison(std::string_view text) {
  std::string lower;
  lower.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, kKelvinSign.size()) == kKelvinSign) {
      lower.push_back('k');
      i += kKelvinSign.size() - 1;
      continue;
    }
    char c = text[i];
    lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return lower;
}

std::optional<float> parseOptionFloat(std::string_view text) {
  if (text.empty() || startsWithBlankOrNul(text)) return std::nullopt;
  // strtof needs a terminated text; the copy also stops it from reading past an embedded NUL.
  std::string terminated(text);
  char* end = nullptr;
  float value = strtof_l(terminated.c_str(), &end, cLocale());
  if (end != terminated.c_str() + terminated.size()) return std::nullopt;
  return value;
}
