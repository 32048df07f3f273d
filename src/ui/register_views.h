// What the window's register boxes and grid cells show, behind one small interface each,
// so that a panel, a tool or a dialog reaches another part's boxes without its widgets.
// Plain C++: addresses and bytes in, texts and bytes out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korva {

// The AFE register boxes (the register panels implement it). Addresses 0x00..0x41; a
// register with a second box (0x22, 0x23, 0x25) shows in both.
class RegisterView {
  public:
    virtual ~RegisterView() = default;
    // The text of the register's box as it stands: read, written, typed, or as at start.
    virtual std::string boxText(int address) const = 0;
    // The value from the board (a read, a write's read-back, a value written) the register's
    // box last showed; nothing until one has been shown, when what the box shows is not the
    // register's value. Text typed since does not change it.
    virtual std::optional<std::uint8_t> boardValue(int address) const = 0;
    // Shows a value written to the register, sending nothing.
    virtual void showValue(int address, std::uint8_t value) = 0;
    // Marks the register's boxes as differing from a file, `note` saying how; the mark goes
    // at the next value shown in them.
    virtual void markDiffering(int address, const std::string& note) = 0;
    // Reads every register into the boxes (Read All Registers). False when the link failed
    // (reported): the boxes keep what they showed.
    [[nodiscard]] virtual bool readAll() = 0;
};

// The FPGA register grid's cells (the grid implements it), registers 0x00..0x2F.
class FpgaRegisterView {
  public:
    virtual ~FpgaRegisterView() = default;
    // The value the register's cell shows in the program's own form (upper-case hex without
    // leading zeros); nothing for an empty cell or text in another form ("05", "1G").
    virtual std::optional<std::uint8_t> shownValue(int address) const = 0;
    // Shows a value written to the register, sending nothing.
    virtual void showValue(int address, std::uint8_t value) = 0;
    // Reads registers 0x00..0x24 into the cells (Read All FPGA Registers).
    virtual void readAll() = 0;
};

} // namespace korva
