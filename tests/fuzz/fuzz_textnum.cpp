// Number readings: the lenient reading never fails, the strict one accepts exactly one or
// two hex digits and its value formats back to the same digits, a 16-bit split puts back
// together to the rounded value, and a count's decimal text reads back as the count.
#include "device/textnum.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

using namespace korva;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const double v = ReadNumber(text);
    ParseHexLenient(text);

    if (const auto strict = ParseHexStrict(text)) {
        if (text.size() < 1 || text.size() > 2) std::abort();
        const std::string back = HexByte(*strict);
        if (ParseHexStrict(back) != strict) std::abort();
    }
    if (const auto pair = SplitWord(v)) {
        const double rounded = RoundHalfEven(v);
        if (!(rounded >= 0 && rounded <= 65535)) std::abort();
        if (pair->high * 256 + pair->low != static_cast<int>(rounded)) std::abort();
    }
    if (std::isfinite(v) && std::fabs(v) < 1e15 && v == std::trunc(v)) {
        if (ReadNumber(DecimalText(v)) != v) std::abort();
    }
    return 0;
}
