#include "output.h"

#include <cstdio>

namespace korva::cli {
namespace {

// A count of a mode line or the DE window: a whole number as an integer, else as it is.
nlohmann::json count(double v) {
    return v == static_cast<double>(static_cast<long long>(v))
               ? nlohmann::json(static_cast<long long>(v))
               : nlohmann::json(v);
}

// The length of the UTF-8 character at the start of `text`, or 0 when it does not start
// with one (a stray continuation byte, a cut or overlong sequence, a surrogate).
std::size_t utf8Length(std::string_view text) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char c = at(0);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    }
    if (n == 0 || text.size() < n || at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < n; ++i)
        if (at(i) < 0x80 || at(i) > 0xBF) return 0;
    return n;
}

} // namespace

std::string Escaped(std::string_view text) {
    return Shown(text, text.size());
}

std::string Shown(std::string_view text, std::size_t limit) {
    std::string out;
    std::size_t shown = 0, i = 0;
    for (; i < text.size() && shown < limit; ++shown) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = (c < 0x20 || c == 0x7F) ? 0 : utf8Length(text.substr(i));
        if (n == 0) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    if (i < text.size()) out += "...";
    return out;
}

std::string Quoted(std::string_view text, std::size_t limit) {
    return "\"" + Shown(text, limit) + "\"";
}

void Say(std::string_view message) {
    const std::string line = "korva726ctl: " + Escaped(message) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

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

nlohmann::json RegistersJson(int first, const std::vector<std::optional<std::uint8_t>>& values) {
    nlohmann::json regs = nlohmann::json::array();
    for (std::size_t i = 0; i < values.size(); ++i)
        regs.push_back(RegisterJson(first + static_cast<int>(i), values[i]));
    return {{"registers", regs}};
}

nlohmann::json BoardsJson(const std::vector<UsbBoard>& boards, std::optional<std::size_t> chosen) {
    nlohmann::json list = nlohmann::json::array();
    for (const UsbBoard& b : boards)
        list.push_back({{"bus", b.bus},
                        {"address", b.address},
                        {"port", b.port},
                        {"vendor_id", b.vendorId},
                        {"product_id", b.productId},
                        {"serial", b.serial.empty() ? nlohmann::json() : nlohmann::json(b.serial)},
                        {"accessible", b.accessible},
                        {"default", chosen && &b == &boards[*chosen]}});
    return {{"boards", list}};
}

nlohmann::json SimulatedBoardJson() {
    return {{"boards", {{{"simulated", true}, {"accessible", true}, {"default", true}}}}};
}

nlohmann::json WritesJson(const std::vector<AfeWrite>& writes) {
    nlohmann::json list = nlohmann::json::array();
    for (const AfeWrite& w : writes)
        list.push_back({{"address", w.address},
                        {"address_hex", Hex(w.address)},
                        {"written", w.written},
                        {"written_hex", Hex(w.written)},
                        {"read_back", w.readBack},
                        {"read_back_hex", Hex(w.readBack)},
                        {"matched", w.matches()}});
    return {{"writes", list}};
}

nlohmann::json SavedJson(const std::string& file) {
    return {{"file", file}, {"registers", kAfeRegisterCount}};
}

nlohmann::json LoadedJson(const std::string& file, const DumpValues& values) {
    nlohmann::json left = nlohmann::json::array();
    for (int a = 0; a < kAfeRegisterCount; ++a)
        if (!values[static_cast<std::size_t>(a)]) left.push_back(a);
    return {{"file", file},
            {"written", kAfeRegisterCount - static_cast<int>(left.size())},
            {"left_as_they_were", left}};
}

nlohmann::json ModesJson(const std::string& path, const std::vector<ModeLine>& modes) {
    nlohmann::json list = nlohmann::json::array();
    for (const ModeLine& m : modes)
        list.push_back({{"name", m.name},
                        {"hstart", count(m.hStart)},
                        {"hstop", count(m.hStop)},
                        {"vstart", count(m.vStart)},
                        {"vstop", count(m.vStop)},
                        {"pll_htotal", count(m.pllHtotal)}});
    return {{"file", path}, {"modes", list}};
}

nlohmann::json ModeAppliedJson(const std::string& mode, const Connector& connector,
                               bool switchConverter) {
    return {{"mode", mode},
            {"input", connector.caption},
            {"csc", switchConverter ? nlohmann::json(connector.converterOn ? "on" : "off")
                                    : nlohmann::json()}};
}

nlohmann::json DeWindowJson(const DeWindow& window) {
    return {{"hstart", count(window[kHStart])},
            {"hstop", count(window[kHStop])},
            {"vstart", count(window[kVStart])},
            {"vstop", count(window[kVStop])}};
}

nlohmann::json ConverterJson(bool on) {
    return {{"csc", on ? "on" : "off"}};
}

nlohmann::json ComparedJson(const std::string& file, const DumpValues& values,
                            const std::vector<RegisterDifference>& differ) {
    nlohmann::json differences = nlohmann::json::array(), skipped = nlohmann::json::array();
    for (std::size_t a = 0; a < values.size(); ++a)
        if (!values[a]) skipped.push_back(static_cast<int>(a));
    for (const RegisterDifference& d : differ)
        differences.push_back({{"address", d.address},
                               {"address_hex", Hex(d.address)},
                               {"board", d.board},
                               {"board_hex", Hex(d.board)},
                               {"file", d.file},
                               {"file_hex", Hex(d.file)}});
    return {{"file", file},
            {"compared", kAfeRegisterCount - static_cast<int>(skipped.size())},
            {"not_compared", skipped},
            {"differences", differences},
            {"match", differences.empty()}};
}

nlohmann::json SelectedJson(const char* key, int value) {
    return {{key, value}};
}

nlohmann::json PortJson(const std::string& port, std::uint8_t value) {
    return {{"port", port}, {"value", value}, {"value_hex", Hex(value)}};
}

nlohmann::json DownloadJson(const std::string& file, std::uint64_t dataPackets) {
    return {{"file", file}, {"data_packets", dataPackets}};
}

} // namespace korva::cli
