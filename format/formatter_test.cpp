#include "format/formatter.h"

#include <gtest/gtest.h>

#include <functional>

#include "thrown.h"

namespace {

using Bytes = Formatter::Bytes;

std::string failure(const std::function<void()>& fn) {
  return thrown<FormatError>(fn);
}

}  // namespace

TEST(FormatterTest, FormatNamesIgnoreCaseButNothingElse) {
  EXPECT_EQ(Formatter::formatTypeFromString("Hex"), FormatType::HEX);
  EXPECT_EQ(Formatter::formatTypeFromString("UTF-8"), FormatType::UTF8);
  EXPECT_EQ(Formatter::formatTypeFromString("UInt8"), FormatType::UINT8);
  for (const char* name : {"utf8", "text", "u8", " hex", "", "UTF8", "hex "}) {
    EXPECT_EQ(failure([&] { Formatter::formatTypeFromString(name); }), "Unknown format type")
        << name;
  }
  // The name is checked before the value, even one that would convert.
  EXPECT_EQ(failure([] { Formatter::stringToBinary("00", "utf8"); }), "Unknown format type");
  EXPECT_EQ(failure([] { Formatter::binaryToString({0x41}, "bin"); }), "Unknown format type");
}

TEST(FormatterTest, BytesToText) {
  EXPECT_EQ(Formatter::binaryToString({0x0A, 0xFF, 0x00}, "hex"), "0aff00");
  EXPECT_EQ(Formatter::binaryToString({0xDE, 0xAD}, "HEX"), "dead");
  EXPECT_EQ(Formatter::binaryToHex({}), "");
  EXPECT_EQ(Formatter::binaryToString({0xC3, 0xA9, 0x21}, "utf-8"), "\xC3\xA9!");
  EXPECT_EQ(Formatter::binaryToUTF8({}), "");
  EXPECT_EQ(Formatter::binaryToString({0x07}, "uint8"), "7");
  EXPECT_EQ(Formatter::binaryToString({0xFF}, "uint8"), "255");
  EXPECT_EQ(Formatter::binaryToString({0x00}, "uint8"), "0");
}

TEST(FormatterTest, BytesThatAreNotTextFail) {
  const std::string utf8 = "Failed to convert data to UTF-8 string";
  EXPECT_EQ(failure([] { Formatter::binaryToUTF8({0xC3, 0x28}); }), utf8);
  EXPECT_EQ(failure([] { Formatter::binaryToUTF8({0xC0, 0x80}); }), utf8);        // overlong NUL
  EXPECT_EQ(failure([] { Formatter::binaryToUTF8({0xED, 0xA0, 0x80}); }), utf8);  // surrogate
  EXPECT_EQ(failure([] { Formatter::binaryToUTF8({0xF4, 0x90, 0x80, 0x80}); }), utf8);
  EXPECT_EQ(failure([] { Formatter::binaryToUTF8({0xE2, 0x82}); }), utf8);  // cut short
  EXPECT_EQ(failure([] { Formatter::binaryToUInt8({}); }), "Data must be 1 byte long");
  EXPECT_EQ(failure([] {
              Formatter::binaryToString({1, 2}, "uint8");
            }),
            "Data must be 1 byte long");
}

TEST(FormatterTest, HexTextToBytes) {
  EXPECT_EQ(Formatter::stringToBinary("DEAD", "hex"), (Bytes{0xDE, 0xAD}));
  EXPECT_EQ(Formatter::HexToBinary("de ad"), (Bytes{0xDE, 0xAD}));
  EXPECT_EQ(Formatter::HexToBinary(" de\tad \n"), (Bytes{0xDE, 0xAD}));
  EXPECT_EQ(Formatter::HexToBinary("0A FF\r\n00"), (Bytes{0x0A, 0xFF, 0x00}));
  // Unicode white space (no-break space, ideographic space) is removed as well.
  EXPECT_EQ(Formatter::HexToBinary("de\xC2\xA0"
                                   "ad\xE3\x80\x80"),
            (Bytes{0xDE, 0xAD}));
  EXPECT_EQ(Formatter::HexToBinary(""), Bytes{});
  EXPECT_EQ(Formatter::HexToBinary("   "), Bytes{});
}

TEST(FormatterTest, HexTextFailuresCheckLengthBeforeDigits) {
  const std::string odd = "Hex string must have an even number of characters";
  const std::string digits = "Hex string must only contain valid hex digits";
  EXPECT_EQ(failure([] { Formatter::HexToBinary("abc"); }), odd);
  EXPECT_EQ(failure([] { Formatter::HexToBinary("0x1"); }), odd);
  EXPECT_EQ(failure([] { Formatter::HexToBinary("zz"); }), digits);
  EXPECT_EQ(failure([] { Formatter::HexToBinary("0x12"); }), digits);
  EXPECT_EQ(failure([] { Formatter::HexToBinary("de:ad"); }), odd);
  EXPECT_EQ(failure([] { Formatter::HexToBinary("de-ad-"); }), digits);
  // A non-ASCII letter is one character, not two bytes.
  EXPECT_EQ(failure([] { Formatter::HexToBinary("\xC3\xA9"); }), odd);
  EXPECT_EQ(failure([] { Formatter::HexToBinary("a\xC3\xA9"); }), digits);
}

TEST(FormatterTest, TextAndDecimalToBytes) {
  EXPECT_EQ(Formatter::stringToBinary("\xC3\xA9", "utf-8"), (Bytes{0xC3, 0xA9}));
  EXPECT_EQ(Formatter::UTF8ToBinary(""), Bytes{});
  EXPECT_EQ(failure([] { Formatter::UTF8ToBinary("\xFF"); }), "Invalid UTF-8 data");
  EXPECT_EQ(Formatter::stringToBinary("255", "uint8"), Bytes{0xFF});
  EXPECT_EQ(Formatter::stringToBinary("+5", "uint8"), Bytes{0x05});
  EXPECT_EQ(Formatter::stringToBinary("-0", "uint8"), Bytes{0x00});
  EXPECT_EQ(Formatter::stringToBinary("007", "uint8"), Bytes{0x07});
  EXPECT_EQ(Formatter::stringToBinary("00000000000000000000255", "uint8"), Bytes{0xFF});
  for (const char* bad :
       {"256", "-1", " 5", "5 ", "0x5", "", "+", "-", "+-5", "1.0", "99999999999999999999"}) {
    EXPECT_EQ(failure([&] { Formatter::stringToBinary(bad, "uint8"); }),
              std::string("Invalid UInt8: ") + bad);
  }
  EXPECT_EQ(Formatter::UInt8ToBinary(0x2A), Bytes{0x2A});
}
