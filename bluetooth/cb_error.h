// Errors of the Bluetooth platform: a domain, a code and a localized description.
#pragma once

#include <cstdint>
#include <string>

struct CBError {
  std::string domain;
  int64_t code = 0;
  std::string localizedDescription;

  static constexpr const char* kATTErrorDomain = "CBATTErrorDomain";
  static constexpr const char* kErrorDomain = "CBErrorDomain";

  // An ATT error answer (code 1 to 255) as the platform reports it: "The attribute could not
  // be found." for 10, and so on; 18 and above read "Unknown ATT error.".
  static CBError att(uint8_t attCode);
  // Link errors of the "CBErrorDomain": 3 not connected, 6 connection timed out, 7 peer
  // disconnected; others get "Unknown error.".
  static CBError link(int64_t code);
};
