#include "server/config.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <limits>

namespace Config {
namespace {

// A JSON number or boolean as a 32-bit integer: integers keep their low 32 bits, fractions are
// truncated toward zero. Anything else, and a float whose truncation is not an int32, fails.
int32_t portFromValue(const nlohmann::json& value) {
  if (value.is_number_float()) {
    double truncated = std::trunc(value.get<double>());
    if (!(truncated >= std::numeric_limits<int32_t>::min() &&
          truncated <= std::numeric_limits<int32_t>::max())) {
      return DEFAULT_PORT;
    }
    return static_cast<int32_t>(truncated);
  }
  if (value.is_number_unsigned()) return static_cast<int32_t>(value.get<uint64_t>());
  if (value.is_number_integer()) return static_cast<int32_t>(value.get<int64_t>());
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  return DEFAULT_PORT;
}

}  // namespace

int32_t loadPortFromConfig() {
  return loadPortFromConfig(CONFIG_PATH);
}

int32_t loadPortFromConfig(const std::string& path) {
  std::ifstream file(path);
  if (!file.is_open()) return DEFAULT_PORT;
  try {
    nlohmann::json config;
    file >> config;  // reads one value; whatever follows it is left unread
    if (!config.is_object()) return DEFAULT_PORT;
    auto port = config.find("port");
    if (port == config.end()) return DEFAULT_PORT;
    return portFromValue(*port);
  } catch (...) {
    // A directory opens but fails to read; parse errors land here as well.
    return DEFAULT_PORT;
  }
}

}  // namespace Config
