// The options of a connect request: the scripts for the connection's events and a timeout.
#pragma once

#include <optional>
#include <string>

#include "plugin/fm_script.h"

struct ConnectionOptions {
  std::optional<FMScript> onConnect;
  std::optional<FMScript> onConnectionFailed;
  std::optional<FMScript> onDisconnect;
  std::optional<FMScript> onDiscoverServices;
  std::optional<FMScript> onDiscoverCharacteristics;
  std::optional<double> timeout;  // seconds; replaces the request's timeout when present
};

// Parses an options text (see option_lines.h for the grammar). An empty text gives the default
// record. On the first bad line records kWrongParameters with its message on the facade and
// returns none. Script references take the facade's current file name and default format.
// Runs on the request's thread; touches no role state.
std::optional<ConnectionOptions> parseConnectionOptions(const std::string& options);
