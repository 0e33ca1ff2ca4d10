// The options of a scan and their parser.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bluetooth/cb_uuid.h"
#include "plugin/fm_script.h"

struct ScanOptions {
  std::optional<double> stopAfter;                      // seconds; none: scan until stopped
  std::optional<float> minRSSI = -100.0F;               // dBm; weaker advertisements are ignored
  std::optional<std::string> filterByName;              // name prefix, case-sensitive
  std::optional<uint16_t> filterByVendorID;             // company identifier
  std::optional<std::vector<CBUUID>> filterByServices;  // handed to the platform's scan
  std::optional<double> obsoleteAfter;                  // seconds unseen before a device is hidden
  std::optional<FMScript> onDiscovery;                  // run for each new device
  bool makeUpdates = true;                              // duplicates allowed
  std::optional<bool> filterByConnectability;
};

// Parses an options text (see option_lines.h for the grammar). An empty text gives the default
// record. On the first bad line records kWrongParameters with its message on the facade and
// returns none. Script references take the facade's current file name and default format.
// Runs on the request's thread; touches no role state.
std::optional<ScanOptions> parseScanOptions(const std::string& options);

// A service UUID from text, after trimming white space and line breaks at both ends: 4 or 8
// lower-case hexadecimal digits, or the 8-4-4-4-12 form in either case. None otherwise.
// Any thread.
std::optional<CBUUID> bluetoothUUID(const std::string& text);
