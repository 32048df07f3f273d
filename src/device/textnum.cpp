#include "textnum.h"

#include <cerrno>
#include <cfenv>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

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

std::optional<double> ReadNumberChecked(std::string_view text) {
    const std::string s = withoutBlanks(text);
    if (s.size() >= 2 && s[0] == '&') {
        double v = 0;
        if (s[1] == 'H' || s[1] == 'h') v = readRadix(std::string_view(s).substr(2), 16);
        if (s[1] == 'O' || s[1] == 'o') v = readRadix(std::string_view(s).substr(2), 8);
        if (std::isinf(v)) return std::nullopt;
        return v;
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
    if (!digits) return 0.0;
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
    // strtod in the "C" locale: Qt sets the process locale from the environment, and a
    // decimal comma there must not change how "2.5" reads. Overflow gives an infinity
    // with ERANGE; underflow gives 0 (or a tiny value), which is what such a text means.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
    errno = 0;
    const double value = strtod_l(number.c_str(), nullptr, cLocale);
    if (errno == ERANGE && std::isinf(value)) return std::nullopt;
    return value;
}

double ReadNumber(std::string_view text) {
    if (auto v = ReadNumberChecked(text)) return *v;
    // Too large to read: an infinity of the number's sign, which every range check refuses.
    const std::string s = withoutBlanks(text);
    return !s.empty() && s[0] == '-' ? -HUGE_VAL : HUGE_VAL;
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
    const double rounded = RoundHalfEven(v);
    if (!(rounded >= 0 && rounded <= 65535)) return std::nullopt;
    const auto count = static_cast<std::uint32_t>(rounded);
    return BytePair{static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count & 0xFF)};
}

} // namespace korva
