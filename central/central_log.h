// The log line and error record of the central role, shared by the files that implement
// CentralDelegate. Callable on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/console.h"
#include "plugin/plugin.h"

namespace central_log {

// One line of progress, prefixed "CentralDelegate: ".
inline void log(const std::string& text) {
  Console::writeLine("CentralDelegate: " + text);
}

// Records a failure on the facade's last error; no message takes the catalogue text.
inline void recordError(int64_t code, std::optional<std::string> message = std::nullopt) {
  Plugin::shared().setLastError(code, std::move(message));
}

}  // namespace central_log
