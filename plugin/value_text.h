// The value text of a write, as both roles take it from a command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The bytes of `value` in `format`. A failure records kWriteError with the formatter's message
// (or "Failed to encode data") and gives none. Any thread.
std::optional<std::vector<uint8_t>> bytesToWrite(const std::string& value,
                                                 const std::string& format);
