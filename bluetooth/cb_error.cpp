#include "bluetooth/cb_error.h"

namespace {

// The platform's English descriptions of ATT error answers, indexed by code.
constexpr const char* kATTDescriptions[] = {
    "Unknown ATT error.",  // 0 is success and never reported as an error
    "The handle is invalid.",
    "Reading is not permitted.",
    "Writing is not permitted.",
    "The command is invalid.",
    "Authentication is insufficient.",
    "The request is not supported.",
    "The offset is invalid.",
    "Authorization is insufficient.",
    "The prepare queue is full.",
    "The attribute could not be found.",
    "The attribute is not long.",
    "The encryption key size is insufficient.",
    "The value's length is invalid.",
    "Unlikely error.",
    "Encryption is insufficient.",
    "The group type is unsupported.",
    "Resources are insufficient.",
};

}  // namespace

CBError CBError::att(uint8_t attCode) {
  constexpr size_t known = sizeof(kATTDescriptions) / sizeof(kATTDescriptions[0]);
  const char* text = attCode < known ? kATTDescriptions[attCode] : "Unknown ATT error.";
  return CBError{kATTErrorDomain, attCode, text};
}

CBError CBError::link(int64_t code) {
  const char* text = "Unknown error.";
  if (code == 3) text = "The specified device is not connected.";
  if (code == 6) text = "The connection has timed out unexpectedly.";
  if (code == 7) text = "The specified device has disconnected from us.";
  return CBError{kErrorDomain, code, text};
}
