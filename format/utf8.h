// UTF-8 text one code point at a time: decoding, encoding and lower-casing. Pure functions,
// callable on any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// One code point decoded from `text` at `pos`, advancing `pos`. Strict UTF-8: no overlong
// forms, no surrogates, nothing above U+10FFFF. None (and `pos` past one byte) when invalid.
std::optional<char32_t> decodeUTF8(std::string_view text, size_t& pos);

// Appends the UTF-8 form of a code point.
void appendUTF8(std::string& out, char32_t c);

// Every letter lower-cased as the platform's text does it, whatever the process's locale: each
// code point by Unicode's simple mapping, and the capital I with a dot as "i" and a combining
// dot, so that it never passes for a plain "i". Bytes that are not UTF-8 are kept.
std::string lowercasedUTF8(std::string_view text);
