// Number readings and byte formats. The fuzz target of these functions checks the round
// trips (strict hex, 16-bit split, decimal text); here are the readings and edge cases.
#include "device/textnum.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace korva;

TEST(ReadNumber, Readings) {
    // Blanks anywhere, reading stops at the first character that cannot continue the number;
    // no number reads 0; sign, fraction, exponent (without digits it is not part of the
    // number); too large is never 0 but infinite, so that range checks refuse it; "&H"
    // and "&O" (9 is no octal digit).
    // clang-format off
    const std::pair<std::string, double> cases[] = {
        {" 720", 720}, {"7 20", 720}, {"\t7\n2 0,", 720}, {"1500;any note", 1500}, {"12A", 12},
        {"", 0}, {"A", 0}, {",", 0}, {"-", 0}, {".", 0}, {"&H", 0}, {"&X12", 0}, {"-1", -1},
        {"+5", 5}, {"- 5", -5}, {"2.5", 2.5}, {".5", 0.5}, {"1e3", 1000}, {"1E+2", 100},
        {"5E-1", 0.5}, {"1E", 1}, {"2EZ", 2}, {"1e400", HUGE_VAL}, {"-1e400", -HUGE_VAL},
        {"1e-400", 0}, {"&H10", 16}, {"&h1f", 31}, {"&HFF,", 255}, {"&O17", 15}, {"&O19", 1}};
    // clang-format on
    for (const auto& [text, value] : cases)
        EXPECT_EQ(ReadNumber(text), value) << text;
    for (const std::string& text :
         {std::string("1e400"), "1" + std::string(400, '0'), "&H" + std::string(300, 'F')})
        EXPECT_FALSE(ReadNumberChecked(text)) << text; // nothing when checked
    EXPECT_EQ(ReadNumberChecked("1e308"), 1e308);
}

TEST(HexReading, LenientAndStrict) {
    const std::pair<std::string, std::uint64_t> lenient[] = {
        {"0A", 0x0A}, {"ff", 0xFF}, {"", 0}, {" 5", 5}, {"7F ", 0x7F}, {"1G", 1}, {"x1", 0}};
    for (const auto& [text, value] : lenient)
        EXPECT_EQ(ParseHexLenient(text), value) << text;
    EXPECT_GT(ParseHexLenient("10000000000000000000001"), 0xFFu); // does not wrap to small
    const std::pair<std::string, std::optional<std::uint8_t>> strict[] = {
        {"F5", 0xF5}, {"a", 0x0A}, {"", {}}, {" 5", {}}, {"123", {}}, {"G1", {}}};
    for (const auto& [text, value] : strict)
        EXPECT_EQ(ParseHexStrict(text), value) << text;
    EXPECT_TRUE(IsHexDigit('f') && IsHexDigit('A') && !IsHexDigit('g') && !IsHexDigit(' '));
}

// Texts of bytes and counts; 16-bit values rounded once, half to even, then split: 255.5
// becomes 256 = 01 00.
TEST(Formatting, TextsAndSplitWords) {
    const std::pair<std::string, std::string> texts[] = {
        {HexByte(0x0A), "0A"},    {HexNoLeadingZeros(0), "0"},   {HexNoLeadingZeros(0xE6), "E6"},
        {DecimalText(-0.0), "0"}, {DecimalText(230.5), "230.5"}, {DecimalText(-1), "-1"}};
    for (const auto& [text, expected] : texts)
        EXPECT_EQ(text, expected);
    using P = BytePair;
    // clang-format off
    const std::pair<double, std::optional<P>> cases[] = {{1382, P{0x05, 0x66}}, {2.5, P{0, 2}},
        {3.5, P{0, 4}}, {255.5, P{1, 0}}, {65535.4, P{255, 255}}, {-1, {}}, {65535.5, {}}};
    // clang-format on
    for (const auto& [value, pair] : cases)
        EXPECT_EQ(SplitWord(value), pair) << value;
    for (auto [value, rounded] : {std::pair{0.5, 0.0}, {1.5, 2.0}, {0.984375, 1.0}, {-1.5, -2.0}})
        EXPECT_EQ(RoundHalfEven(value), rounded) << value;
}
