// What goes on the wire for the FPGA's registers: one read (2E address), one write
// (2F address value), and the read of all registers the program knows (0x00..0x24).
// Reads report no failure to the link's ErrorSink; they return nothing for a failed
// exchange. A write returns false when the link reported a failure.
#pragma once

#include "device/board.h"

#include <array>
#include <cstdint>
#include <optional>

namespace korva {

constexpr int kFpgaReadAllCount = 37; // registers 0x00..0x24

// A register write that reached the board.
struct FpgaWrite {
    int address = 0;
    std::uint8_t value = 0;
    bool operator==(const FpgaWrite&) const = default;
};

std::optional<std::uint8_t> ReadFpgaRegister(Board& board, int address);
bool WriteFpgaRegister(Board& board, int address, std::uint8_t value);
// Registers 0x00..0x24 in ascending order, one read each; a failed read leaves its entry
// empty and the reads go on.
std::array<std::optional<std::uint8_t>, kFpgaReadAllCount> ReadAllFpgaRegisters(Board& board);

} // namespace korva
