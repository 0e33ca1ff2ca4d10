// The line grammar shared by the scan, connection and advertising options texts: lines
// separated by carriage returns, each a key, "=" and a value, keys compared after lower-casing,
// nothing trimmed. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct OptionLine {
  std::string key;       // as written (messages quote it this way)
  std::string lowerKey;  // lower-cased, for comparison only
  std::string value;     // as written, possibly empty
};

// Splits `text` at every carriage return. Line feeds are ordinary characters, and empty lines
// are kept (a trailing carriage return yields an empty last line). The views point into `text`.
// An empty text gives no lines.
std::vector<std::string_view> splitOptionLines(std::string_view text);

// Splits one line at every "=" and drops the empty pieces. Two pieces are the key and the value;
// one piece on a line that ends with "=" is a key with an empty value. Anything else (an empty
// line, only "=", one piece without a trailing "=", three or more pieces) gives none.
std::optional<OptionLine> splitOptionLine(std::string_view line);

// Lower-cases for comparison: ASCII letters, and the Kelvin sign (which lower-cases to "k").
// Other characters are kept as they are.
std::string lowercasedForComparison(std::string_view text);

// Reads the whole text as a single-precision number the way strtof does in the C locale (sign,
// fraction, exponent, hexadecimal forms, "inf", "nan"). None when the text is empty, begins with
// white space or NUL, or has characters left after the number. Finiteness is the caller's test.
std::optional<float> parseOptionFloat(std::string_view text);
