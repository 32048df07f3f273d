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

ModeSetupDone ApplyModeSetup(Board& board, const ModeSettings& setup) {
    // Everything is checked before the first byte goes out.
    for (double v : setup.de)
        split("DE count", v);
    const BytePair htotal = split("PLL Htotal", setup.pllHtotal);
    if (setup.connector && (*setup.connector < 0 || *setup.connector >= kConnectorCount))
        throw std::invalid_argument("ApplyModeSetup: no connector " +
                                    std::to_string(*setup.connector));

    ModeSetupDone done;
    done.linkUp = WriteDeWindow(board, setup.de) &&
                  board.WriteByte_AFE(kPllHtotalMsb, htotal.high) &&
                  board.WriteByte_AFE(kPllHtotalLsb, htotal.low);
    if (!done.linkUp || !setup.connector) return done;

    const Connector& c = kConnectors[static_cast<std::size_t>(*setup.connector)];
    done.linkUp = board.WriteByte_AFE(kInputConfigRegister, c.inputConfig);
    if (!done.linkUp) return done;
    done.inputConfig = c.inputConfig;
    done.linkUp = (c.muxChannel < 0 || board.TM6185Channel_Select(c.muxChannel)) &&
                  (c.syncMode < 0 || board.SQ7302Channel_Select(c.syncMode));
    if (!done.linkUp || !setup.switchConverter) return done;
    done.linkUp = SetConverter(board, c.converterOn);
    if (done.linkUp) done.converterOn = c.converterOn;
    return done;
}

} // namespace korva
