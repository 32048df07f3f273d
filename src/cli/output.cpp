#include "output.h"

#include <cstdio>

namespace korva::cli {

std::string Hex(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02x", v);
    return buf;
}

std::string RegisterTable(const std::vector<std::optional<std::uint8_t>>& values) {
    constexpr std::size_t kRow = 16;
    std::string out = "   ";
    for (std::size_t c = 0; c < kRow; ++c)
        out += "  " + std::string(1, "0123456789abcdef"[c]);
    out += "    0123456789abcdef\n";
    for (std::size_t row = 0; row < values.size(); row += kRow) {
        char cell[24];
        std::snprintf(cell, sizeof cell, "%02zx: ", row);
        out += cell;
        std::string text;
        for (std::size_t a = row; a < row + kRow; ++a) {
            if (a >= values.size()) {
                out += "   ";
                text += ' ';
            } else if (!values[a]) {
                out += "XX ";
                text += 'X';
            } else {
                const std::uint8_t v = *values[a];
                std::snprintf(cell, sizeof cell, "%02x ", v);
                out += cell;
                text += (v == 0x00 || v == 0xFF)  ? '.'
                        : (v < 0x20 || v >= 0x7F) ? '?'
                                                  : static_cast<char>(v);
            }
        }
        out += "   " + text + "\n";
    }
    return out;
}

nlohmann::json RegisterJson(int address, std::optional<std::uint8_t> value) {
    nlohmann::json j{{"address", address}, {"address_hex", Hex(address)}};
    j["value"] = value ? nlohmann::json(*value) : nlohmann::json();
    j["value_hex"] = value ? nlohmann::json(Hex(*value)) : nlohmann::json();
    return j;
}

} // namespace korva::cli
