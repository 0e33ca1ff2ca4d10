#include "peripheral/advertising_options.h"

#include <cmath>

#include "central/option_lines.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"

namespace {

std::nullopt_t fail(const std::string& message) {
  Plugin::shared().setLastError(Errors::kWrongParameters, message);
  return std::nullopt;
}

// "never" (any case) is no timed stop; otherwise a finite, non-negative single-precision number
// that the whole text spells, widened to double. -0 is 0.
bool applyStopAfter(AdvertisingOptions& options, const std::string& value) {
  if (lowercasedForComparison(value) == "never") {
    options.stopAfter.reset();
    return true;
  }
  auto number = parseOptionFloat(value);
  if (!number || !std::isfinite(*number) || *number < 0) return false;
  options.stopAfter = static_cast<double>(*number) + 0.0;
  return true;
}

}  // namespace

std::optional<AdvertisingOptions> parseAdvertisingOptions(const std::optional<std::string>& text) {
  AdvertisingOptions options;
  if (!text || text->empty()) return options;
  for (std::string_view line : splitOptionLines(*text)) {
    auto parsed = splitOptionLine(line);
    if (!parsed) return fail("Invalid format for advertising option");
    if (parsed->lowerKey == "stopafter") {
      if (!applyStopAfter(options, parsed->value)) return fail("Invalid " + parsed->key + " value");
    } else if (parsed->lowerKey == "displayname") {
      options.displayName = parsed->value;
    } else {
      return fail("Unknown advertising option: " + parsed->key);
    }
  }
  return options;
}
