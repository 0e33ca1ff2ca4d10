#include "plugin/value_text.h"

#include "format/formatter.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"

std::optional<std::vector<uint8_t>> bytesToWrite(const std::string& value,
                                                 const std::string& format) {
  try {
    return Formatter::stringToBinary(value, format);
  } catch (const FormatError& e) {
    Plugin::shared().setLastError(Errors::kWriteError, e.what());
  } catch (...) {
    Plugin::shared().setLastError(Errors::kWriteError, "Failed to encode data");
  }
  return std::nullopt;
}
