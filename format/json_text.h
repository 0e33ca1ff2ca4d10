// JSON string text written fast: the answers that carry thousands of records are mostly ASCII.
#pragma once

#include <string>
#include <string_view>

// Appends `text` as a JSON string, quotes included, exactly as the JSON library writes it with
// non-ASCII kept as UTF-8 and invalid UTF-8 replaced: quote, backslash and control characters
// escaped (\b \f \n \r \t, others \u00xx), each invalid or cut-off sequence one U+FFFD.
// Any thread.
void appendJSONString(std::string& out, std::string_view text);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF). Any thread.
bool isValidUTF8(std::string_view text);
