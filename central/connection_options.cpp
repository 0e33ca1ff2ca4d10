#include "central/connection_options.h"

#include <cmath>

#include "central/option_lines.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"

namespace {

std::optional<ConnectionOptions> refuse(const std::string& message) {
  Plugin::shared().setLastError(Errors::kWrongParameters, message);
  return std::nullopt;
}

// The script field named by a lower-cased key, or null for a key that names none.
std::optional<FMScript>* scriptField(ConnectionOptions& options, const std::string& lowerKey) {
  if (lowerKey == "onconnect") return &options.onConnect;
  if (lowerKey == "onconnectionfailed") return &options.onConnectionFailed;
  if (lowerKey == "ondisconnect") return &options.onDisconnect;
  if (lowerKey == "ondiscoverservices") return &options.onDiscoverServices;
  if (lowerKey == "ondiscovercharacteristics") return &options.onDiscoverCharacteristics;
  return nullptr;
}

}  // namespace

std::optional<ConnectionOptions> parseConnectionOptions(const std::string& options) {
  ConnectionOptions result;
  for (std::string_view text : splitOptionLines(options)) {
    auto line = splitOptionLine(text);
    if (!line) return refuse("Invalid format for connection option");
    if (line->lowerKey == "timeout") {
      auto seconds = parseOptionFloat(line->value);
      if (!seconds || !std::isfinite(*seconds) || *seconds < 0) {
        return refuse("Invalid " + line->key + " value");
      }
      result.timeout = static_cast<double>(*seconds);
    } else if (auto* field = scriptField(result, line->lowerKey)) {
      *field = FMScript::make(line->value);
    } else {
      return refuse("Unknown connection option: " + line->key);
    }
  }
  return result;
}
