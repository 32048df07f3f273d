#include "device/textnum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace korva;

TEST(ReadNumber, BlanksAnywhereAndStopAtFirstNonNumber) {
    EXPECT_EQ(ReadNumber(" 720"), 720);
    EXPECT_EQ(ReadNumber("720 px"), 720);
    EXPECT_EQ(ReadNumber("7 20"), 720);
    EXPECT_EQ(ReadNumber("\t7\n2 0,"), 720);
    EXPECT_EQ(ReadNumber("1382,"), 1382);
    EXPECT_EQ(ReadNumber("1500;any note"), 1500);
    EXPECT_EQ(ReadNumber("12A"), 12);
}

TEST(ReadNumber, NoNumberIsZero) {
    EXPECT_EQ(ReadNumber(""), 0);
    EXPECT_EQ(ReadNumber("A"), 0);
    EXPECT_EQ(ReadNumber(","), 0);
    EXPECT_EQ(ReadNumber("-"), 0);
    EXPECT_EQ(ReadNumber("."), 0);
}

TEST(ReadNumber, SignFractionExponent) {
    EXPECT_EQ(ReadNumber("-1"), -1);
    EXPECT_EQ(ReadNumber("+5"), 5);
    EXPECT_EQ(ReadNumber("- 5"), -5);
    EXPECT_DOUBLE_EQ(ReadNumber("2.5"), 2.5);
    EXPECT_DOUBLE_EQ(ReadNumber(".5"), 0.5);
    EXPECT_EQ(ReadNumber("1E3"), 1000);
    EXPECT_EQ(ReadNumber("1e3"), 1000);
    EXPECT_EQ(ReadNumber("1E+2"), 100);
    EXPECT_DOUBLE_EQ(ReadNumber("5E-1"), 0.5);
    EXPECT_EQ(ReadNumber("1E"), 1); // exponent without digits is not part of the number
    EXPECT_EQ(ReadNumber("2EZ"), 2);
    // Too large to read is never 0: infinite for the range checks, nothing when checked.
    EXPECT_EQ(ReadNumber("1e400"), HUGE_VAL);
    EXPECT_EQ(ReadNumber("-1e400"), -HUGE_VAL);
    EXPECT_EQ(ReadNumber("1e-400"), 0);
    for (const std::string& text : std::vector<std::string>{"1e400", "1" + std::string(400, '0'),
                                                            "&H" + std::string(300, 'F')})
        EXPECT_FALSE(ReadNumberChecked(text)) << text;
    EXPECT_EQ(ReadNumberChecked("1e308"), 1e308);
}

TEST(ReadNumber, HexAndOctalPrefixes) {
    EXPECT_EQ(ReadNumber("&H10"), 16);
    EXPECT_EQ(ReadNumber("&h1f"), 31);
    EXPECT_EQ(ReadNumber("&HFF,"), 255);
    EXPECT_EQ(ReadNumber("&O17"), 15);
    EXPECT_EQ(ReadNumber("&O19"), 1); // 9 is no octal digit
    EXPECT_EQ(ReadNumber("&H"), 0);
    EXPECT_EQ(ReadNumber("&X12"), 0);
}

TEST(HexReading, LenientSkipsBlanksAndStopsAtOtherCharacters) {
    EXPECT_EQ(ParseHexLenient("0A"), 0x0Au);
    EXPECT_EQ(ParseHexLenient("ff"), 0xFFu);
    EXPECT_EQ(ParseHexLenient("  "), 0u);
    EXPECT_EQ(ParseHexLenient(""), 0u);
    EXPECT_EQ(ParseHexLenient(" 5"), 5u);
    EXPECT_EQ(ParseHexLenient("7F "), 0x7Fu);
    EXPECT_EQ(ParseHexLenient("1G"), 1u);
    EXPECT_EQ(ParseHexLenient("x1"), 0u);
}

TEST(HexReading, StrictTakesOnlyOneOrTwoDigits) {
    EXPECT_EQ(ParseHexStrict("F5"), 0xF5);
    EXPECT_EQ(ParseHexStrict("a"), 0x0A);
    EXPECT_EQ(ParseHexStrict("00"), 0);
    EXPECT_FALSE(ParseHexStrict(""));
    EXPECT_FALSE(ParseHexStrict("  "));
    EXPECT_FALSE(ParseHexStrict(" 5"));
    EXPECT_FALSE(ParseHexStrict("123"));
    EXPECT_FALSE(ParseHexStrict("G1"));
}

TEST(Formatting, HexForms) {
    EXPECT_EQ(HexByte(0x0A), "0A");
    EXPECT_EQ(HexByte(0xFF), "FF");
    EXPECT_EQ(HexNoLeadingZeros(0), "0");
    EXPECT_EQ(HexNoLeadingZeros(0xE6), "E6");
    EXPECT_EQ(HexNoLeadingZeros(5), "5");
}

TEST(SplitWord, HighIsIntegerPartLowRoundsHalfToEven) {
    EXPECT_EQ(SplitWord(230), (BytePair{0x00, 0xE6}));
    EXPECT_EQ(SplitWord(1382), (BytePair{0x05, 0x66}));
    EXPECT_EQ(SplitWord(1500), (BytePair{0x05, 0xDC}));
    EXPECT_EQ(SplitWord(256), (BytePair{0x01, 0x00}));
    EXPECT_EQ(SplitWord(65535), (BytePair{0xFF, 0xFF}));
    EXPECT_EQ(SplitWord(2.5), (BytePair{0, 2}));
    EXPECT_EQ(SplitWord(3.5), (BytePair{0, 4}));
    EXPECT_EQ(SplitWord(255.5), (BytePair{0x01, 0x00})); // rounded once, then split
    EXPECT_EQ(SplitWord(511.5), (BytePair{0x02, 0x00}));
    EXPECT_EQ(SplitWord(65535.4), (BytePair{0xFF, 0xFF}));
    EXPECT_FALSE(SplitWord(-1));
    EXPECT_FALSE(SplitWord(65535.5));
}

TEST(RoundHalfEven, Halves) {
    EXPECT_EQ(RoundHalfEven(0.5), 0);
    EXPECT_EQ(RoundHalfEven(1.5), 2);
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(0.984375), 1);
    EXPECT_EQ(RoundHalfEven(-1.5), -2);
}

TEST(Formatting, DecimalTextOfCounts) {
    EXPECT_EQ(DecimalText(1382), "1382");
    EXPECT_EQ(DecimalText(-1), "-1");
    EXPECT_EQ(DecimalText(-0.0), "0");
    EXPECT_EQ(DecimalText(230.5), "230.5");
    EXPECT_EQ(DecimalText(65535), "65535");
}

TEST(HexReading, VeryLongTextDoesNotWrapToASmallValue) {
    EXPECT_GT(ParseHexLenient("10000000000000000000001"), 0xFFu);
    EXPECT_TRUE(IsHexDigit('f') && IsHexDigit('A') && !IsHexDigit('g') && !IsHexDigit(' '));
}
