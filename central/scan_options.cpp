#include "central/scan_options.h"

#include <cmath>
#include <functional>
#include <string_view>
#include <unordered_map>

#include "central/option_lines.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"

namespace {

// One line's effect on the record; false when the value is invalid.
using ApplyValue = std::function<bool(ScanOptions&, const std::string& value)>;

std::optional<double> nonNegativeDuration(const std::string& value) {
  auto number = parseOptionFloat(value);
  if (!number || !std::isfinite(*number) || *number < 0) return std::nullopt;
  return static_cast<double>(*number);
}

// "never" clears the duration; otherwise a non-negative finite number of seconds.
bool applyDurationOrNever(std::optional<double>& field, const std::string& value) {
  if (lowercasedForComparison(value) == "never") {
    field.reset();
    return true;
  }
  auto seconds = nonNegativeDuration(value);
  if (!seconds) return false;
  field = seconds;
  return true;
}

// Decimal, optional sign, ASCII digits only, 0 to 65535 ("-0" is zero).
std::optional<uint16_t> parseVendorID(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  uint32_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<uint32_t>(c - '0');
    if (number > UINT16_MAX) return std::nullopt;
  }
  if (negative && number != 0) return std::nullopt;
  return static_cast<uint16_t>(number);
}

bool applyStopAfter(ScanOptions& o, const std::string& v) {
  return applyDurationOrNever(o.stopAfter, v);
}

bool applyObsoleteAfter(ScanOptions& o, const std::string& v) {
  return applyDurationOrNever(o.obsoleteAfter, v);
}

bool applyMinRSSI(ScanOptions& o, const std::string& v) {
  auto number = parseOptionFloat(v);
  if (!number || !std::isfinite(*number)) return false;
  o.minRSSI = *number;
  return true;
}

bool applyFilterByName(ScanOptions& o, const std::string& v) {
  if (!v.empty()) o.filterByName = v;
  return true;
}

bool applyFilterByVendorID(ScanOptions& o, const std::string& v) {
  if (v.empty() || lowercasedForComparison(v) == "any") return true;
  auto vendor = parseVendorID(v);
  if (!vendor) return false;
  o.filterByVendorID = vendor;
  return true;
}

bool applyFilterByService(ScanOptions& o, const std::string& v) {
  if (v.empty()) return true;
  auto uuid = bluetoothUUID(lowercasedForComparison(v));
  if (!uuid) return false;
  o.filterByServices = std::vector<CBUUID>{*uuid};
  return true;
}

bool applyFilterByConnectability(ScanOptions& o, const std::string& v) {
  std::string word = lowercasedForComparison(v);
  if (word.empty() || word == "any") return true;
  if (word == "connectable") {
    o.filterByConnectability = true;
  } else if (word == "notconnectable") {
    o.filterByConnectability = false;
  } else {
    return false;
  }
  return true;
}

bool applyMakeUpdates(ScanOptions& o, const std::string& v) {
  std::string word = lowercasedForComparison(v);
  if (word != "true" && word != "false") return false;
  o.makeUpdates = word == "true";
  return true;
}

bool applyOnDiscovery(ScanOptions& o, const std::string& v) {
  o.onDiscovery = FMScript::make(v);
  return true;
}

const std::unordered_map<std::string, ApplyValue>& scanKeys() {
  static const std::unordered_map<std::string, ApplyValue> keys = {
      {"stopafter", applyStopAfter},
      {"minrssi", applyMinRSSI},
      {"filterbyname", applyFilterByName},
      {"filterbyvendorid", applyFilterByVendorID},
      {"filterbyservice", applyFilterByService},
      {"filterbyconnectability", applyFilterByConnectability},
      {"makeupdates", applyMakeUpdates},
      {"obsoleteafter", applyObsoleteAfter},
      {"ondiscovery", applyOnDiscovery},
  };
  return keys;
}

std::optional<ScanOptions> refuse(const std::string& message) {
  Plugin::shared().setLastError(Errors::kWrongParameters, message);
  return std::nullopt;
}

// Trims what counts as white space or a line break, ASCII and the Unicode separators.
std::string_view trimWhitespaceAndNewlines(std::string_view text) {
  static constexpr std::string_view kMultiByte[] = {
      "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
      "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
      "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
      "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
  auto blankAtFront = [&](std::string_view t) -> size_t {
    if (t.empty()) return 0;
    if (std::string_view(" \t\n\v\f\r").find(t.front()) != std::string_view::npos) return 1;
    for (auto s : kMultiByte)
      if (t.starts_with(s)) return s.size();
    return 0;
  };
  auto blankAtBack = [&](std::string_view t) -> size_t {
    if (t.empty()) return 0;
    if (std::string_view(" \t\n\v\f\r").find(t.back()) != std::string_view::npos) return 1;
    for (auto s : kMultiByte)
      if (t.ends_with(s)) return s.size();
    return 0;
  };
  while (size_t n = blankAtFront(text)) text.remove_prefix(n);
  while (size_t n = blankAtBack(text)) text.remove_suffix(n);
  return text;
}

bool isLowerHex(std::string_view text) {
  return text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool isFullUUIDForm(std::string_view text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool hyphenPlace = i == 8 || i == 13 || i == 18 || i == 23;
    char c = text[i];
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (hyphenPlace ? c != '-' : !hex) return false;
  }
  return true;
}

}  // namespace

std::optional<ScanOptions> parseScanOptions(const std::string& options) {
  ScanOptions result;
  for (std::string_view text : splitOptionLines(options)) {
    auto line = splitOptionLine(text);
    if (!line) return refuse("Invalid format for scan option");
    auto key = scanKeys().find(line->lowerKey);
    if (key == scanKeys().end()) return refuse("Unknown scan option: " + line->key);
    if (!key->second(result, line->value)) return refuse("Invalid " + line->key + " value");
  }
  return result;
}

std::optional<CBUUID> bluetoothUUID(const std::string& text) {
  std::string_view trimmed = trimWhitespaceAndNewlines(text);
  if (trimmed.size() == 4 || trimmed.size() == 8) {
    if (!isLowerHex(trimmed)) return std::nullopt;
    return CBUUID::fromString(trimmed);
  }
  if (!isFullUUIDForm(trimmed)) return std::nullopt;
  return CBUUID::fromString(trimmed);
}
