// The value formatter in both directions. Properties: bytes to hex and back is the identity;
// bytes that are UTF-8 text survive the trip to text and back; any text in any format either
// converts or fails with a FormatError, and what converts writes back as the same value.
#include <cstdlib>
#include <string>
#include <vector>

#include "format/formatter.h"
#include "fuzz/fuzz_support.h"

namespace {

void check(bool holds) {
  if (!holds) std::abort();
}

void bytesRoundTrip(const std::vector<uint8_t>& bytes) {
  check(Formatter::HexToBinary(Formatter::binaryToHex(bytes)) == bytes);
  std::string text;
  try {
    text = Formatter::binaryToUTF8(bytes);
  } catch (const FormatError&) {
    return;  // not UTF-8: nothing to round-trip
  }
  check(Formatter::UTF8ToBinary(text) == bytes);
}

void textInEveryFormat(const std::string& text, const std::string& format) {
  for (const std::string& name :
       {format, std::string("hex"), std::string("UTF-8"), std::string("uint8")}) {
    std::vector<uint8_t> bytes;
    try {
      bytes = Formatter::stringToBinary(text, name);
    } catch (const FormatError&) {
      continue;
    }
    std::string back;
    try {
      back = Formatter::binaryToString(bytes, name);
    } catch (const FormatError&) {
      std::abort();  // what converted one way converts back
    }
    check(Formatter::stringToBinary(back, name) == bytes);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bytesRoundTrip(std::vector<uint8_t>(data, data + size));
  fuzz::Input input(data, size);
  std::string format = input.part();
  textInEveryFormat(input.rest(), format);
  return 0;
}
