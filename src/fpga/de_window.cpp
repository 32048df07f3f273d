#include "de_window.h"

#include <stdexcept>
#include <string>

namespace korva {
namespace {

BytePair split(double value) {
    const auto pair = SplitWord(value);
    if (!pair)
        throw std::invalid_argument("DE count " + DecimalText(value) +
                                    " is outside 0..65535; nothing was sent to the board");
    return *pair;
}

// Byte 0 (high) or 1 (low) of a count into its register.
bool writeDeByte(Board& board, DeCount which, int byte, std::uint8_t value) {
    return WriteFpgaRegister(board, DeHighRegister(which) + byte, value);
}

} // namespace

std::optional<DeWindow> ReadDeWindow(Board& board) {
    std::array<std::uint8_t, 2 * kDeCounts> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto v = ReadFpgaRegister(board, kDeFirstRegister + static_cast<int>(i));
        if (!v) return std::nullopt;
        bytes[i] = *v;
    }
    DeWindow window{};
    for (std::size_t k = 0; k < window.size(); ++k)
        window[k] = bytes[2 * k] * 256 + bytes[2 * k + 1];
    return window;
}

bool WriteDeCount(Board& board, DeCount which, double value) {
    const BytePair pair = split(value);
    return writeDeByte(board, which, 0, pair.high) && writeDeByte(board, which, 1, pair.low);
}

bool WriteDeWindow(Board& board, const DeWindow& window) {
    for (double v : window)
        split(v);
    for (int k = 0; k < kDeCounts; ++k)
        if (!WriteDeCount(board, static_cast<DeCount>(k), window[static_cast<std::size_t>(k)]))
            return false;
    return true;
}

std::optional<BytePair> DeBoxBytes(double value) {
    if (!(value > 0)) return BytePair{};
    return SplitWord(value);
}

DeChange WriteDeCountChanges(Board& board, DeCount which, BytePair bytes,
                             const std::array<std::optional<std::uint8_t>, 2>& shown) {
    DeChange change;
    const std::uint8_t values[2] = {bytes.high, bytes.low};
    for (int byte = 0; byte < 2; ++byte) {
        const std::uint8_t v = values[byte];
        if (shown[static_cast<std::size_t>(byte)] == v) continue; // unchanged: not written again
        if (!writeDeByte(board, which, byte, v)) {
            change.linkUp = false;
            break;
        }
        change.written.push_back({DeHighRegister(which) + byte, v});
    }
    return change;
}

} // namespace korva
