// Fixed values of the command server and the loader of its one configuration setting.
#pragma once

#include <cstdint>
#include <string>

#include "platform/config_location.h"

namespace Config {

inline const std::string ADDRESS = "127.0.0.1";
inline constexpr int32_t DEFAULT_PORT = 24026;
inline const std::string OK_RESULT = "0";
inline const std::string VERSION = "4.0.0.12";
// The file read when no other is given on the command line; it differs between platforms.
inline const std::string CONFIG_PATH = ConfigLocation::kDefaultPath;

// The "port" of the configuration file at `path` (CONFIG_PATH when not given). Never fails:
// a missing or unreadable file, a parse error, a value that is not an object, or a "port" that
// is not a number or boolean gives DEFAULT_PORT. Text after the first JSON value is ignored;
// a fraction is truncated toward zero; no range check is made. Any thread.
int32_t loadPortFromConfig();
int32_t loadPortFromConfig(const std::string& path);

}  // namespace Config
