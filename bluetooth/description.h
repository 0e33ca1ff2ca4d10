// Texts for the platform objects' descriptions, shared by the backends. Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// "0x" and the address, lower-case hex.
std::string pointerText(const void* object);
// "0x12".
std::string hexText(uint32_t value);
// "(null)" for none, otherwise "{length = 2, bytes = 0x0102}" (the first 24 bytes, then "...").
std::string describeValue(const std::optional<std::vector<uint8_t>>& value);
