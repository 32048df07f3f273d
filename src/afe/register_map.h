// The AFE's 66 registers: address, caption, tab, box indices, and the registers the
// program treats specially. One table, used by the panels, the dump file and the
// command-line tool.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korva {

constexpr int kAfeRegisterCount = 66; // 0x00 .. 0x41
constexpr int kAfeLastAddress = 0x41;
constexpr int kMirrorOffset = 88; // boxes 122, 123, 125 mirror 0x22, 0x23, 0x25

// The values of all registers, index = address.
using RegisterValues = std::array<std::uint8_t, kAfeRegisterCount>;

enum class RegisterTab { User, Test };
enum class Gang { None, Gain, Offset };

struct AfeRegister {
    std::uint8_t address;
    const char* caption; // exactly as shown on screen and in the dump file
    RegisterTab tab;
    bool disabled; // status boxes that cannot be edited (0x00 to 0x02), shown read-only
    const char* initialText;
    Gang gang;
    bool hasMirror;       // a second box on the User Registers tab
    bool nameAlwaysShown; // its caption is written to the dump file even in normal mode
};

const std::array<AfeRegister, kAfeRegisterCount>& AfeRegisters();

// The box indices that exist: 0..65, 122, 123, 125.
const std::vector<int>& AllBoxIndices();
bool IsBoxIndex(int index);
// A status register (0x00 to 0x02): the chip keeps it as it is, whatever is written to it.
// False for an address outside the map.
bool IsReadOnlyRegister(int address);
// Register address of a box index (the index itself, or index - 88 above 100).
int AddressOfBox(int index);
// The boxes that show a register: its own box, plus the mirror for 0x22, 0x23, 0x25.
std::vector<int> BoxesOfAddress(int address);
// The mirror box of an address, if it has one.
std::optional<int> MirrorOfAddress(int address);
// Caption of the box with that index (mirrors repeat their register's caption).
std::string CaptionOfBox(int index);
// The same without the blanks around it ("Red Gain (0x06)"): how screen readers and the
// names of user actions call the box.
std::string BoxName(int index);
// The register's caption without its address and blanks ("Red Gain"), as the undo history
// names a step.
std::string RegisterName(int address);
// The register's name in a dump file.
std::string DumpName(int address, bool hiddenModesShown);

} // namespace korva
