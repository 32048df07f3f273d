#include "register_text.h"

#include "device/textnum.h"

namespace korva {

std::optional<std::string> AddHexString(std::string& A, int n) {
    std::string text = A.empty() ? std::string("00") : A;
    const auto value = ParseHexStrict(text);
    if (!value) return std::nullopt;
    const int stepped = ((static_cast<int>(*value) + n) % 256 + 256) % 256;
    A = HexByte(static_cast<std::uint8_t>(stepped));
    return A;
}

std::string_view ValueText(std::string_view boxText) {
    return boxText.size() > 2 ? boxText.substr(boxText.size() - 2) : boxText;
}

std::optional<int> BoxValue(std::string_view boxText) {
    const std::string_view text = ValueText(boxText);
    const auto first = text.find_first_not_of(" \t\n");
    if (first == std::string_view::npos || !IsHexDigit(text[first])) return std::nullopt;
    return static_cast<int>(ParseHexLenient(text) & 0xFF);
}

} // namespace korva
