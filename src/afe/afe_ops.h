// What goes on the wire for each action on the AFE's registers. Reads are burst reads of
// the AFE's I2C address (one register is a burst of one, as the panels read it back);
// writes are single-register writes, each followed by a read-back.
//
// Every function returns nothing when the link has reported a failure (to its ErrorSink)
// on the way; what was sent before the failure stays sent. Arguments the board cannot
// take are refused with std::invalid_argument before anything is sent.
#pragma once

#include "afe/dump_file.h"
#include "afe/register_map.h"
#include "device/board.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace korva {

// `count` registers (1..64) from `first` in one burst read: 03 4C first count.
std::optional<std::vector<std::uint8_t>> ReadAfeRegisters(Board& board, int first, int count);
// One register: 03 4C address 01.
std::optional<std::uint8_t> ReadAfeRegister(Board& board, int address);
// All 66 registers in two bursts: 64 from 0x00, then 2 from 0x40.
std::optional<RegisterValues> ReadAllAfeRegisters(Board& board);

struct AfeWrite {
    int address = 0;
    std::uint8_t written = 0;
    std::uint8_t readBack = 0;
    bool matches() const { return written == readBack; }
};

// 23 address value, then the one-register read of the same address.
std::optional<AfeWrite> WriteAfeRegister(Board& board, int address, std::uint8_t value);

// The three registers of a gang group: gain 0x06..0x08, offset 0x09..0x0B.
std::array<int, 3> GangAddresses(Gang group);
// The group's three writes in address order, then the three read-backs in the same order.
// Throws std::invalid_argument for Gang::None.
std::optional<std::array<AfeWrite, 3>> WriteAfeGanged(Board& board, Gang group, std::uint8_t value);

// A dump file's values into the chip: one write per register that has a value, in address
// order, registers 0x00..0x02 and the gang groups included; a register without a value is
// left as it is. `step(address)` runs after each register, written or not. No read-back.
bool WriteDumpValues(Board& board, const DumpValues& values,
                     const std::function<void(int address)>& step = {});

} // namespace korva
