#include "mode_setup.h"

#include "device/textnum.h"
#include "mode_table.h"

#include <cctype>
#include <stdexcept>

namespace korva {
namespace {

constexpr int kInputConfigRegister = 0x05;
constexpr int kPllHtotalMsb = 0x0E;
constexpr int kPllHtotalLsb = 0x0F;

const std::array<Connector, kConnectorCount> kConnectors = {{
    {"VGA 1", 0x00, -1, -1, false},
    {"VGA 2", 0x01, 0, 3, false},
    {"Component 1", 0x0D, 1, 0, true},
    {"Component 2", 0x0D, 2, 0, true},
    {"Composite 1", 0x0D, 3, 0, true},
}};

BytePair split(const char* what, double value) {
    const auto pair = SplitWord(value);
    if (!pair)
        throw std::invalid_argument(std::string(what) + " " + DecimalText(value) +
                                    " is outside 0..65535; nothing was sent to the board");
    return *pair;
}

std::string folded(std::string_view name) {
    std::string out;
    for (char c : name)
        if (c != ' ' && c != '-' && c != '_')
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

bool SetConverter(Board& board, bool on) {
    return board.WriteByte_FPGA(kConverterRegister, on ? kConverterOn : kConverterOff);
}

std::optional<DeWindow> ReadDeWindow(Board& board) {
    std::array<std::uint8_t, 2 * kDeCounts> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto v = board.ReadFpga(kDeFirstRegister + static_cast<int>(i));
        if (!v) return std::nullopt;
        bytes[i] = *v;
    }
    DeWindow window{};
    for (std::size_t k = 0; k < window.size(); ++k)
        window[k] = bytes[2 * k] * 256 + bytes[2 * k + 1];
    return window;
}

bool WriteDeCount(Board& board, DeCount which, double value) {
    const BytePair pair = split("DE count", value);
    return board.WriteByte_FPGA(kDeFirstRegister + 2 * which, pair.high) &&
           board.WriteByte_FPGA(kDeFirstRegister + 2 * which + 1, pair.low);
}

bool WriteDeWindow(Board& board, const DeWindow& window) {
    for (double v : window)
        split("DE count", v);
    for (int k = 0; k < kDeCounts; ++k)
        if (!WriteDeCount(board, static_cast<DeCount>(k), window[static_cast<std::size_t>(k)]))
            return false;
    return true;
}

const std::array<Connector, kConnectorCount>& Connectors() {
    return kConnectors;
}

std::optional<int> FindConnector(std::string_view name) {
    const std::string wanted = folded(name);
    for (int i = 0; i < kConnectorCount; ++i)
        if (folded(kConnectors[static_cast<std::size_t>(i)].caption) == wanted ||
            wanted == std::to_string(i))
            return i;
    return std::nullopt;
}

std::optional<ModeSettings> ModeSettingsFromLine(std::string_view line,
                                                 std::optional<int> connector, bool switchConverter,
                                                 std::string* problem) {
    const std::string why = ModeLineProblem(line);
    if (!why.empty()) {
        if (problem) *problem = why;
        return std::nullopt;
    }
    const ModeLine mode = *ParseModeLine(line);
    return ModeSettings{{mode.hStart, mode.hStop, mode.vStart, mode.vStop},
                        mode.pllHtotal,
                        connector,
                        switchConverter};
}

bool ApplyModeSetup(Board& board, const ModeSettings& setup, const ModeSetupHooks& hooks) {
    // Everything is checked before the first byte goes out.
    for (double v : setup.de)
        split("DE count", v);
    const BytePair htotal = split("PLL Htotal", setup.pllHtotal);
    if (setup.connector && (*setup.connector < 0 || *setup.connector >= kConnectorCount))
        throw std::invalid_argument("ApplyModeSetup: no connector " +
                                    std::to_string(*setup.connector));

    if (!WriteDeWindow(board, setup.de)) return false;
    if (!board.WriteByte_AFE(kPllHtotalMsb, htotal.high) ||
        !board.WriteByte_AFE(kPllHtotalLsb, htotal.low))
        return false;
    if (!setup.connector) return true;

    const Connector& c = kConnectors[static_cast<std::size_t>(*setup.connector)];
    if (!board.WriteByte_AFE(kInputConfigRegister, c.inputConfig)) return false;
    if (hooks.inputConfigWritten) hooks.inputConfigWritten(c.inputConfig);
    if (c.muxChannel >= 0 && !board.TM6185Channel_Select(c.muxChannel)) return false;
    if (c.syncMode >= 0 && !board.SQ7302Channel_Select(c.syncMode)) return false;
    if (!setup.switchConverter) return true;
    if (hooks.switchConverter) {
        hooks.switchConverter(c.converterOn);
        return !board.link().halted();
    }
    return SetConverter(board, c.converterOn);
}

} // namespace korva
