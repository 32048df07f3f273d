#include "register_map.h"

#include <algorithm>
#include <cstdio>

namespace korva {
namespace {

constexpr RegisterTab U = RegisterTab::User;
constexpr RegisterTab T = RegisterTab::Test;
constexpr const char* kEmpty = "";
constexpr const char* kBlanks = "  "; // boxes 5 to 15 start with two blanks

constexpr AfeRegister reg(std::uint8_t a, const char* caption, RegisterTab tab,
                          Gang gang = Gang::None) {
    const bool user = tab == RegisterTab::User;
    const bool mirrored = a == 0x22 || a == 0x23 || a == 0x25;
    return AfeRegister{a,
                       caption,
                       tab,
                       a <= 0x02,
                       (a >= 0x05 && a <= 0x0F) ? kBlanks : kEmpty,
                       gang,
                       mirrored,
                       user || mirrored};
}

constexpr std::array<AfeRegister, kAfeRegisterCount> kRegisters = {{
    reg(0x00, "ID and Revision (0x00) ", U),
    reg(0x01, "Sync Status (0x01)", U),
    reg(0x02, "Sync Polarity (0x02)", U),
    reg(0x03, "HSYNC Slicer (0x03)", U),
    reg(0x04, "SOG Slicer (0x04)", U),
    reg(0x05, "Input Config (0x05)", U),
    reg(0x06, "Red Gain (0x06)", U, Gang::Gain),
    reg(0x07, "Green Gain (0x07)", U, Gang::Gain),
    reg(0x08, "Blue Gain (0x08)", U, Gang::Gain),
    reg(0x09, "Red Offset (0x09)", U, Gang::Offset),
    reg(0x0A, "Green Offset (0x0A)", U, Gang::Offset),
    reg(0x0B, "Blue Offset (0x0B)", U, Gang::Offset),
    reg(0x0C, "Offset DAC Config (0x0C)", U),
    reg(0x0D, "AFE Bandwidth (0x0D)", U),
    reg(0x0E, "PLL Htotal MSB (0x0E)", U),
    reg(0x0F, "PLL Htotal LSB (0x0F)", U),
    reg(0x10, "PLL Phase (0x10)", U),
    reg(0x11, "PLL Pre-Coast (0x11)", U),
    reg(0x12, "PLL Post-Coast (0x12)", U),
    reg(0x13, "PLL Misc (0x13)", U),
    reg(0x14, "DC Restore/ABLC Starting MSB (0x14)", U),
    reg(0x15, "DC Restore/ABLC Starting LSB (0x15)", U),
    reg(0x16, "DC Restore Clamp Width (0x16)", U),
    reg(0x17, "ABLC Config (0x17)", U),
    reg(0x18, "Output Format (0x18)", U),
    reg(0x19, "HSout Width (0x19)", U),
    reg(0x1A, "Output Disable (0x1A)", U),
    reg(0x1B, "Power Control (0x1B)", U),
    reg(0x1C, "PLL Tuning (0x1C)", U),
    reg(0x1D, "Red Analog ABLC Offset (0x1D)", U),
    reg(0x1E, "Green Analog ABLC Offset (0x1E)", U),
    reg(0x1F, "Blue Analog ABLC Offset (0x1F)", U),
    reg(0x20, "AFE Control (0x20)", T),
    reg(0x21, "PLL Control (0x21)", T),
    reg(0x22, "DC Restore Clamp 1 (0x22) ", T),
    reg(0x23, "DC Restore Clamp 2 (0x23) ", T),
    reg(0x24, "AFE Bias Ctrl 1 (0x24)", T),
    reg(0x25, "Sync Separator Control (0x25)", T),
    reg(0x26, "ADC REF Ctrl(0x26)", T),
    reg(0x27, "FG Num (0x27)", T),
    reg(0x28, "PG Num (0x28)", T),
    reg(0x29, "Phase Delay Number MSB (0x29)", T),
    reg(0x2A, "Phase Delay Number LSB (0x2A)", T),
    reg(0x2B, "APLL Div (0x2B)", T),
    reg(0x2C, "External PNUM4 (0x2C)", T),
    reg(0x2D, "External PNUM3 (0x2D)", T),
    reg(0x2E, "External PNUM2 (0x2E)", T),
    reg(0x2F, "External PNUM1 (0x2F)", T),
    reg(0x30, "External PNUM0 (0x30)", T),
    reg(0x31, "AFE Test Control (0x31)", T),
    reg(0x32, "Lock Criteria (0x32)", T),
    reg(0x33, "Fast Coast Line Count (0x33)", T),
    reg(0x34, "Hidden Sync Bits (0x34)", T),
    reg(0x35, "Test Debug Control (0x35)", T),
    reg(0x36, "Debug Control (0x36)", T),
    reg(0x37, "PLL Gain Fast (0x37)", T),
    reg(0x38, "PLL NL Control 1 (0x38)", T),
    reg(0x39, "PLL NL Control 2 (0x39)", T),
    reg(0x3A, "PLL Jitter (0x3A)", T),
    reg(0x3B, "Internal PNUM4 (0x3B)", T),
    reg(0x3C, "Internal PNUM3 (0x3C)", T),
    reg(0x3D, "Internal PNUM2 (0x3D)", T),
    reg(0x3E, "Internal PNUM1 (0x3E)", T),
    reg(0x3F, "Internal PNUM0 (0x3F)", T),
    reg(0x40, "Splitter Margin (0x40)", T),
    reg(0x41, "Hsync Mask Ctrl (0x41)", T),
}};

} // namespace

const std::array<AfeRegister, kAfeRegisterCount>& AfeRegisters() {
    return kRegisters;
}

const std::vector<int>& AllBoxIndices() {
    static const std::vector<int> indices = [] {
        std::vector<int> v;
        for (int i = 0; i < kAfeRegisterCount; ++i)
            v.push_back(i);
        for (const auto& r : kRegisters)
            if (r.hasMirror) v.push_back(r.address + kMirrorOffset);
        return v;
    }();
    return indices;
}

bool IsBoxIndex(int index) {
    if (index >= 0 && index < kAfeRegisterCount) return true;
    return index == 0x22 + kMirrorOffset || index == 0x23 + kMirrorOffset ||
           index == 0x25 + kMirrorOffset;
}

bool IsReadOnlyRegister(int address) {
    return address >= 0 && address < kAfeRegisterCount &&
           kRegisters[static_cast<std::size_t>(address)].disabled;
}

int AddressOfBox(int index) {
    return index > 100 ? index - kMirrorOffset : index;
}

std::optional<int> MirrorOfAddress(int address) {
    if (address >= 0 && address < kAfeRegisterCount &&
        kRegisters[static_cast<std::size_t>(address)].hasMirror)
        return address + kMirrorOffset;
    return std::nullopt;
}

std::vector<int> BoxesOfAddress(int address) {
    std::vector<int> boxes{address};
    if (auto m = MirrorOfAddress(address)) boxes.push_back(*m);
    return boxes;
}

std::string CaptionOfBox(int index) {
    return kRegisters.at(static_cast<std::size_t>(AddressOfBox(index))).caption;
}

std::string BoxName(int index) {
    std::string name = CaptionOfBox(index);
    name.erase(0, name.find_first_not_of(' '));
    name.erase(name.find_last_not_of(' ') + 1);
    return name;
}

std::string RegisterName(int address) {
    std::string name = kRegisters.at(static_cast<std::size_t>(address)).caption;
    name.erase(std::min(name.size(), name.rfind('(')));
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return name;
}

std::string DumpName(int address, bool hiddenModesShown) {
    const auto& r = kRegisters.at(static_cast<std::size_t>(address));
    if (r.nameAlwaysShown || hiddenModesShown) return r.caption;
    char buf[32];
    std::snprintf(buf, sizeof buf, "Test Register (0x%02X)", address);
    return buf;
}

} // namespace korva
