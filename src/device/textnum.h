// Reading numbers from text and formatting bytes, shared by every part of the program
// that turns a box's text or a file's field into a number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korva {

// The program's number reading of text:
// - blanks, tabs and line feeds are ignored wherever they stand ("7 20" reads 720);
// - "&H" and "&O" (any case) introduce a hexadecimal or octal number;
// - otherwise an optional sign, digits, an optional fraction and an optional exponent
//   (E or D, optional sign, digits) are taken;
// - reading stops at the first character that cannot continue the number;
// - text with no number reads as 0;
// - a number too large for a double ("1e400") reads as an infinity of its sign, never as
//   0, so that range checks refuse it; one too small ("1e-400") reads as 0.
double ReadNumber(std::string_view text);
// The same reading, with nothing for a number too large to read.
std::optional<double> ReadNumberChecked(std::string_view text);

// The lenient hexadecimal reading of a register text: blanks are skipped, the hex digits
// up to the first other character are taken, text without such digits gives 0.
// (The same as ReadNumber("&H" + text).)
std::uint64_t ParseHexLenient(std::string_view text);

// The strict hexadecimal reading: the text must be exactly one or two hex digits.
std::optional<std::uint8_t> ParseHexStrict(std::string_view text);

// True for 0-9, A-F and a-f.
bool IsHexDigit(char c);

// The decimal text the program shows for a count: "1382", "-1", "230.5"; never "-0".
// Independent of the process locale.
std::string DecimalText(double v);

// Rounds to the nearest whole number, halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
double RoundHalfEven(double v);

// Two upper-case hex digits ("0A").
std::string HexByte(std::uint8_t v);
// Upper-case hex without leading zeros ("0", "5", "E6").
std::string HexNoLeadingZeros(std::uint32_t v);

// A 16-bit count split into its two register bytes, high byte first: the count is
// rounded once (half to even), then split, so that 255.5 becomes 256 = 01 00.
struct BytePair {
    std::uint8_t high = 0;
    std::uint8_t low = 0;
    bool operator==(const BytePair&) const = default;
};
// Returns nothing when the rounded count is outside 0..65535 (it does not fit two bytes).
std::optional<BytePair> SplitWord(double v);

} // namespace korva
