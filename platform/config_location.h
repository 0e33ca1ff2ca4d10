// Where the helper's configuration file lives: on macOS in the application-support folder, on
// Linux in the system configuration directory.
#pragma once

namespace ConfigLocation {

#ifdef __APPLE__
inline constexpr const char* kDefaultPath =
    "/Library/Application Support/Ostrel/Velnor_HelperApp/config.json";
#else
inline constexpr const char* kDefaultPath = "/etc/velnor-helper/config.json";
#endif

}  // namespace ConfigLocation
