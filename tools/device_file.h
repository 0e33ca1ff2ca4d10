// The emulator's device file: {"devices":[...]} turned into emulated device configurations.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bluetooth/sim/emulated_device.h"

namespace tool {

// A device file that cannot be used. what() names the file, the place and the problem, e.g.
// "belt.json: devices[0].services[1].uuid: not a UUID: \"18X\"".
class DeviceFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses the text of a device file; `fileName` is used in error messages only. Throws
// DeviceFileError. Any thread.
std::vector<sim::EmulatedDeviceConfig> parseDeviceFile(const std::string& text,
                                                       const std::string& fileName);

// Reads and parses the file at `path`. Throws DeviceFileError (also when it cannot be read).
std::vector<sim::EmulatedDeviceConfig> loadDeviceFile(const std::string& path);

// Upper-case hex of `bytes`; and the reverse for an even number of hex digits in either case.
std::string toHex(const std::vector<uint8_t>& bytes);
std::optional<std::vector<uint8_t>> fromHex(const std::string& text);

// Property words ("read|notify") from bits and back; none for an unknown word. The empty text
// is no property.
std::string propertyWords(uint32_t properties);
std::optional<uint32_t> parsePropertyWords(const std::string& text);

}  // namespace tool
