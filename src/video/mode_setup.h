// The board's video set-up as plain board operations: the colour space converter, the DE
// window, and the input and video mode set-up for a mode line and an input connector
// (what the mode dialog's OK sends after it has set its DE boxes).
//
// Each operation says what goes on the wire. Writes return false when the link reported
// a failure on the way (what was sent before stays sent); reads return nothing. Values
// the registers cannot hold are refused with std::invalid_argument before anything is
// sent.
#pragma once

#include "device/board.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace korva {

// The colour space converter: FPGA register 0x1B, 0x21 on, 0x01 off.
constexpr int kConverterRegister = 0x1B;
constexpr std::uint8_t kConverterOn = 0x21;
constexpr std::uint8_t kConverterOff = 0x01;
bool SetConverter(Board& board, bool on);

// The DE window: four counts of 0..65535, each in two FPGA registers, high byte first,
// from 0x1C: Hstart 0x1C/0x1D, Hstop 0x1E/0x1F, Vstart 0x20/0x21, Vstop 0x22/0x23.
// Counts are split as everywhere else (SplitWord): a fraction rounds half to even.
enum DeCount { kHStart = 0, kHStop = 1, kVStart = 2, kVStop = 3 };
constexpr int kDeCounts = 4;
constexpr int kDeFirstRegister = 0x1C;
using DeWindow = std::array<double, kDeCounts>;

// The eight registers read in address order (2E 1C .. 2E 23); nothing when a read failed.
std::optional<DeWindow> ReadDeWindow(Board& board);
// One count: its high byte, then its low byte.
bool WriteDeCount(Board& board, DeCount which, double value);
// All four counts in register order, 0x1C to 0x23; every count is checked first.
bool WriteDeWindow(Board& board, const DeWindow& window);

// What the mode set-up programs for each input connector.
struct Connector {
    const char* caption;      // "VGA 1", "VGA 2", "Component 1", "Component 2", "Composite 1"
    std::uint8_t inputConfig; // AFE "Input Config (0x05)"
    int muxChannel;           // TM6185 channel; -1: the multiplexer is left alone
    int syncMode;             // SQ7302 mode; -1: the sync separator is left alone
    bool converterOn;         // when the converter is switched: on, else off
};
constexpr int kConnectorCount = 5;
const std::array<Connector, kConnectorCount>& Connectors();
// A connector by its caption, without regard to case, blanks, '-' and '_' ("vga1",
// "component-2"), or by its index ("0".."4").
std::optional<int> FindConnector(std::string_view name);

struct ModeSettings {
    DeWindow de{};
    double pllHtotal = 0;
    // Nothing: the input configuration, multiplexer, sync separator and converter are left
    // alone.
    std::optional<int> connector;
    // Switch the converter as the connector asks (the dialog's AutoEnableCSC).
    bool switchConverter = false;
};

// The set-up for a mode line of the mode table with a connector. Nothing (and the reason
// in `problem`) when the line cannot be programmed.
std::optional<ModeSettings> ModeSettingsFromLine(std::string_view line, std::optional<int> connector,
                                           bool switchConverter, std::string* problem = nullptr);

// Where the window takes part in the set-up.
struct ModeSetupHooks {
    // Right after the input configuration write (the window shows it in its register box).
    std::function<void(std::uint8_t inputConfig)> inputConfigWritten;
    // Switches the converter in place of SetConverter (the window's button writes the
    // register and shows the state).
    std::function<void(bool on)> switchConverter;
};

// In this order: the DE window (eight FPGA writes, 0x1C..0x23); PLL Htotal (AFE 0x0E high
// byte, 0x0F low byte); then, for a connector, AFE 0x05 = its input configuration, the
// multiplexer channel and the sync-separator mode (when the connector has them), and the
// converter on or off when asked.
bool ApplyModeSetup(Board& board, const ModeSettings& setup, const ModeSetupHooks& hooks = {});

} // namespace korva
