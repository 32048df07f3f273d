// The board's video set-up as plain board operations: the colour space converter and the
// input and video mode set-up for a mode line and an input connector (what the mode
// dialog's OK sends after it has set its DE boxes). The DE window's registers are
// src/fpga's (de_window.h), used here as by the DE generator.
//
// Each operation says what goes on the wire. Writes return false when the link reported
// a failure on the way (what was sent before stays sent). Values the registers cannot
// hold are refused with std::invalid_argument before anything is sent.
#pragma once

#include "device/board.h"
#include "fpga/de_window.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korva {

// The colour space converter: FPGA register 0x1B, 0x21 on, 0x01 off.
constexpr int kConverterRegister = 0x1B;
constexpr std::uint8_t kConverterOn = 0x21;
constexpr std::uint8_t kConverterOff = 0x01;
bool SetConverter(Board& board, bool on);

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
std::optional<ModeSettings> ModeSettingsFromLine(std::string_view line,
                                                 std::optional<int> connector, bool switchConverter,
                                                 std::string* problem = nullptr);

// What the set-up did that a window shows: the input configuration written to AFE 0x05, and
// the converter's state when it was switched.
struct ModeSetupDone {
    bool linkUp = true; // false: a write failed (reported) and the rest was not sent
    std::optional<std::uint8_t> inputConfig;
    std::optional<bool> converterOn;
};

// In this order: the DE window (eight FPGA writes, 0x1C..0x23); PLL Htotal (AFE 0x0E high
// byte, 0x0F low byte); then, for a connector, AFE 0x05 = its input configuration, the
// multiplexer channel and the sync-separator mode (when the connector has them), and the
// converter on or off (FPGA 0x1B) when asked.
ModeSetupDone ApplyModeSetup(Board& board, const ModeSettings& setup);

} // namespace korva
