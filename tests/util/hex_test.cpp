#include "util/hex.h"

#include <gtest/gtest.h>

namespace {

struct PairCase {
  std::string high, low;
  int value;
};

class HexPair : public ::testing::TestWithParam<PairCase> {};

TEST_P(HexPair, GivesItsValue) {
  const PairCase &c = GetParam();
  EXPECT_EQ(HexPairToValue(c.high, c.low), c.value) << '"' << c.high << "\" \"" << c.low << '"';
  if (c.high.size() == 1 && c.low.size() == 1) {
    EXPECT_EQ(HexPairToValue(c.high[0], c.low[0]), c.value);
  }
}

INSTANTIATE_TEST_SUITE_P(Digits, HexPair,
                         ::testing::Values(PairCase{"0", "0", 0}, PairCase{"F", "F", 255},
                                           PairCase{"1", "0", 16}, PairCase{"0", "1", 1},
                                           PairCase{"9", "9", 0x99}, PairCase{"A", "0", 0xA0},
                                           PairCase{"3", "A", 0x3A}, PairCase{"7", "7", 0x77},
                                           PairCase{"C", "D", 0xCD}, PairCase{"E", "B", 0xEB}));

// Lower-case digits are digits: a file written in lower case reads as the same bytes.
INSTANTIATE_TEST_SUITE_P(LowerCase, HexPair,
                         ::testing::Values(PairCase{"f", "f", 255}, PairCase{"a", "b", 0xAB},
                                           PairCase{"c", "D", 0xCD}, PairCase{"E", "e", 0xEE}));

// Anything else counts as the digit 0, so a broken record can never give more than 255.
INSTANTIATE_TEST_SUITE_P(NotDigits, HexPair,
                         ::testing::Values(PairCase{"G", "1", 1}, PairCase{" ", "F", 15},
                                           PairCase{"\r", "\n", 0}, PairCase{":", "8", 8},
                                           PairCase{"g", "z", 0}, PairCase{"", "", 0},
                                           PairCase{"12", "3", 3}, PairCase{"1", "", 16},
                                           PairCase{"\xFF", "\x80", 0}));

struct ByteCase {
  std::string text;
  std::string hex;
};

class ByteToHexText : public ::testing::TestWithParam<ByteCase> {};

TEST_P(ByteToHexText, GivesTwoUpperCaseDigitsOrNothing) {
  EXPECT_EQ(ByteToHex(std::string_view(GetParam().text)), GetParam().hex);
}

INSTANTIATE_TEST_SUITE_P(OneCharacter, ByteToHexText,
                         ::testing::Values(ByteCase{std::string(1, '\0'), "00"},
                                           ByteCase{"\n", "0A"}, ByteCase{"\r", "0D"},
                                           ByteCase{":", "3A"}, ByteCase{"w", "77"},
                                           ByteCase{"U", "55"}, ByteCase{"\x7F", "7F"},
                                           ByteCase{"\x80", "80"}, ByteCase{"\xAB", "AB"},
                                           ByteCase{"\xFF", "FF"}));

INSTANTIATE_TEST_SUITE_P(OtherLengths, ByteToHexText,
                         ::testing::Values(ByteCase{"", ""}, ByteCase{"ww", ""},
                                           ByteCase{std::string(2, '\0'), ""},
                                           ByteCase{"AT@#\r\n", ""}));

TEST(ByteToHex, EveryByteRoundTripsThroughTheHexPair) {
  for (int b = 0; b < 256; ++b) {
    const std::string hex = ByteToHex(static_cast<std::uint8_t>(b));
    ASSERT_EQ(hex.size(), 2u);
    EXPECT_EQ(HexPairToValue(hex[0], hex[1]), b) << hex;
    EXPECT_EQ(hex, ByteToHex(std::string(1, static_cast<char>(b))));
  }
}

}  // namespace
