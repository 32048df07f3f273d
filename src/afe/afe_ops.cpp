#include "afe_ops.h"

#include <stdexcept>
#include <string>

namespace korva {

std::optional<std::vector<std::uint8_t>> ReadAfeRegisters(Board& board, int first, int count) {
    if (count < 1) throw std::invalid_argument("ReadAfeRegisters: count must be at least 1");
    return board.ReadBurst(kAfeI2cAddress, first, count);
}

std::optional<std::uint8_t> ReadAfeRegister(Board& board, int address) {
    const auto v = ReadAfeRegisters(board, address, 1);
    if (!v) return std::nullopt;
    return v->front();
}

std::optional<RegisterValues> ReadAllAfeRegisters(Board& board) {
    const auto low = ReadAfeRegisters(board, 0x00, kMaxBurstRead);
    if (!low) return std::nullopt;
    const auto high = ReadAfeRegisters(board, kMaxBurstRead, kAfeRegisterCount - kMaxBurstRead);
    if (!high) return std::nullopt;
    RegisterValues all{};
    std::copy(low->begin(), low->end(), all.begin());
    std::copy(high->begin(), high->end(), all.begin() + kMaxBurstRead);
    return all;
}

std::optional<AfeWrite> WriteAfeRegister(Board& board, int address, std::uint8_t value) {
    if (!board.WriteByte_AFE(address, value)) return std::nullopt;
    const auto back = ReadAfeRegister(board, address);
    if (!back) return std::nullopt;
    return AfeWrite{address, value, *back};
}

std::array<int, 3> GangAddresses(Gang group) {
    std::array<int, 3> addresses{};
    std::size_t found = 0;
    if (group != Gang::None)
        for (const AfeRegister& r : AfeRegisters())
            if (r.gang == group && found < addresses.size()) addresses[found++] = r.address;
    if (found != addresses.size()) throw std::invalid_argument("GangAddresses: not a gang group");
    return addresses;
}

std::optional<std::array<AfeWrite, 3>> WriteAfeGanged(Board& board, Gang group,
                                                      std::uint8_t value) {
    const std::array<int, 3> addresses = GangAddresses(group);
    for (int a : addresses)
        if (!board.WriteByte_AFE(a, value)) return std::nullopt;
    std::array<AfeWrite, 3> writes{};
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        const auto back = ReadAfeRegister(board, addresses[i]);
        if (!back) return std::nullopt;
        writes[i] = {addresses[i], value, *back};
    }
    return writes;
}

bool WriteDumpValues(Board& board, const DumpValues& values,
                     const std::function<void(int address)>& step) {
    for (int a = 0; a < kAfeRegisterCount; ++a) {
        if (const auto v = values[static_cast<std::size_t>(a)])
            if (!board.WriteByte_AFE(a, *v)) return false;
        if (step) step(a);
    }
    return true;
}

} // namespace korva
