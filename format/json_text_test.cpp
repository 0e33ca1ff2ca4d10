#include "format/json_text.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

namespace {

std::string library(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string ours(const std::string& text) {
  std::string out;
  appendJSONString(out, text);
  return out;
}

TEST(JSONText, EscapesAndReplacesAsTheJSONLibraryDoes) {
  const std::vector<std::string> cases = {
      "",
      "plain ASCII 0123",
      std::string("q\"b\\s/\b\f\n\r\t\x01\x1f\x7f\0z", 16),
      "Caf\xC3\xA9 \xE2\x9D\xA4 \xF0\x9F\x98\x80",
      "\xC3",                     // cut off at the end
      "a\xE2\x9D",                // cut off after two of three bytes
      "\xE0\x80\x80",             // overlong
      "\xED\xA0\x80",             // surrogate
      "\xF4\x90\x80\x80",         // beyond U+10FFFF
      "\xC0\xAF \xFF \x80 \xF5",  // bytes that never start a sequence
      "\xE2\x28\xA1",             // a bad second byte is read again
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(library(text));
    EXPECT_EQ(ours(text), library(text));
  }
  EXPECT_EQ(ours("\xC3"), "\"\xEF\xBF\xBD\"");
}

// The library's strict writer throws exactly for the texts that are not UTF-8.
bool libraryTakesAsUTF8(const std::string& text) {
  try {
    nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

// Random bytes weighted toward the troublesome ones, against the library.
TEST(JSONText, AgreesWithTheJSONLibraryOnRandomBytes) {
  std::mt19937 random(20261205);
  static constexpr char kPool[] =
      "aZ\"\\\n\x01\x7f\x80\xBF\xC2\xC3\xDF\xE0\xE1\xED\xEF\xF0\xF4\xF5\xFF\xA0\x90\x8F";
  const std::string_view pool(kPool, sizeof kPool - 1);
  for (int round = 0; round < 20000; ++round) {
    std::string text(random() % 12, ' ');
    for (char& c : text) c = pool[random() % pool.size()];
    ASSERT_EQ(ours(text), library(text)) << library(text);
    ASSERT_EQ(isValidUTF8(text), libraryTakesAsUTF8(text)) << library(text);
  }
}

}  // namespace
