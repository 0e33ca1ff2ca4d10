// The options of a start of advertising and their parser.
#pragma once

#include <optional>
#include <string>

struct AdvertisingOptions {
  std::optional<double> stopAfter;         // seconds until a timed stop; none: never
  std::optional<std::string> displayName;  // advertised local name; none: "Velnor Plug-in"
};

// The name advertised when the options give none.
inline constexpr const char* kDefaultDisplayName = "Velnor Plug-in";

// Parses an options text on the shared line grammar (central/option_lines.h) with the keys
// "stopAfter" and "displayName". An absent or empty text gives the defaults. On the first bad
// line records kWrongParameters with its message on the facade and returns none, so nothing of
// the text takes effect. Runs on the request's thread; touches no role state.
std::optional<AdvertisingOptions> parseAdvertisingOptions(const std::optional<std::string>& text);
