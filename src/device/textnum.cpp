#include "textnum.h"

#include <cfenv>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace korva {
namespace {

bool isIgnoredBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string withoutBlanks(std::string_view text) {
    std::string s;
    s.reserve(text.size());
    for (char c : text)
        if (!isIgnoredBlank(c)) s.push_back(c);
    return s;
}

// Digits in the given base from the start of s, stopping at the first other character.
double readRadix(std::string_view s, int base) {
    double value = 0;
    for (char c : s) {
        int d = hexDigit(c);
        if (d < 0 || d >= base) break;
        value = value * base + d;
    }
    return value;
}

} // namespace

double ReadNumber(std::string_view text) {
    const std::string s = withoutBlanks(text);
    if (s.size() >= 2 && s[0] == '&') {
        if (s[1] == 'H' || s[1] == 'h') return readRadix(std::string_view(s).substr(2), 16);
        if (s[1] == 'O' || s[1] == 'o') return readRadix(std::string_view(s).substr(2), 8);
        return 0;
    }
    // Collect the longest prefix that forms a decimal number, then let strtod convert it.
    std::size_t i = 0;
    std::string number;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) number.push_back(s[i++]);
    bool digits = false;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        number.push_back(s[i++]);
        digits = true;
    }
    if (i < s.size() && s[i] == '.') {
        number.push_back(s[i++]);
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            number.push_back(s[i++]);
            digits = true;
        }
    }
    if (!digits) return 0;
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
        std::size_t j = i + 1;
        std::string exponent = "e";
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) exponent.push_back(s[j++]);
        bool expDigits = false;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9') {
            exponent.push_back(s[j++]);
            expDigits = true;
        }
        if (expDigits) number += exponent;
    }
    // from_chars ignores the process locale (Qt sets it from the environment).
    if (number[0] == '+') number.erase(0, 1);
    double value = 0;
    std::from_chars(number.data(), number.data() + number.size(), value);
    return value;
}

std::uint64_t ParseHexLenient(std::string_view text) {
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    std::uint64_t value = 0;
    for (char c : withoutBlanks(text)) {
        int d = hexDigit(c);
        if (d < 0) break;
        // Far too many digits stay far too large instead of wrapping to a small value.
        value = value > (kMax >> 4) ? kMax : (value << 4) | static_cast<std::uint64_t>(d);
    }
    return value;
}

bool IsHexDigit(char c) {
    return hexDigit(c) >= 0;
}

std::string DecimalText(double v) {
    if (v == 0) return "0";
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 15);
    return std::string(buf, r.ptr);
}

std::optional<std::uint8_t> ParseHexStrict(std::string_view text) {
    if (text.empty() || text.size() > 2) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        int d = hexDigit(c);
        if (d < 0) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(d);
    }
    return static_cast<std::uint8_t>(value);
}

double RoundHalfEven(double v) {
    // nearbyint honours the current rounding mode; the default is round-half-to-even.
    const int saved = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(v);
    std::fesetround(saved);
    return r;
}

std::string HexByte(std::uint8_t v) {
    static const char digits[] = "0123456789ABCDEF";
    return {digits[v >> 4], digits[v & 0xF]};
}

std::string HexNoLeadingZeros(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", v);
    return buf;
}

std::optional<BytePair> SplitWord(double v) {
    if (!(v >= 0 && v <= 65535)) return std::nullopt;
    const auto high = static_cast<std::uint32_t>(std::trunc(v / 256));
    const auto low = static_cast<std::uint32_t>(RoundHalfEven(v)) % 256;
    return BytePair{static_cast<std::uint8_t>(high), static_cast<std::uint8_t>(low)};
}

} // namespace korva
