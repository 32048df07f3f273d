#include "afe_ops.h"

#include "device/textnum.h"

#include <stdexcept>
#include <string>

namespace korva {

std::optional<std::vector<std::uint8_t>> ReadAfeRegisters(Board& board, int first, int count) {
    if (count < 1) throw std::invalid_argument("ReadAfeRegisters: count must be at least 1");
    if (board.link().halted()) return std::nullopt;
    const std::string text = board.ReadBurstI2C(kAfeI2cAddress, first, count);
    if (board.link().halted()) return std::nullopt;
    std::vector<std::uint8_t> values(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<std::uint8_t>(ParseHexLenient(text.substr(2 * i, 2)));
    return values;
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
    if (board.link().halted()) return std::nullopt;
    board.WriteByte_AFE(address, value);
    if (board.link().halted()) return std::nullopt;
    const auto back = ReadAfeRegister(board, address);
    if (!back) return std::nullopt;
    return AfeWrite{address, value, *back};
}

std::array<int, 3> GangAddresses(Gang group) {
    switch (group) {
    case Gang::Gain:
        return {0x06, 0x07, 0x08};
    case Gang::Offset:
        return {0x09, 0x0A, 0x0B};
    case Gang::None:
        break;
    }
    throw std::invalid_argument("GangAddresses: not a gang group");
}

std::optional<std::array<AfeWrite, 3>> WriteAfeGanged(Board& board, Gang group,
                                                      std::uint8_t value) {
    const std::array<int, 3> addresses = GangAddresses(group);
    if (board.link().halted()) return std::nullopt;
    for (int a : addresses) {
        board.WriteByte_AFE(a, value);
        if (board.link().halted()) return std::nullopt;
    }
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
    if (board.link().halted()) return false;
    for (int a = 0; a < kAfeRegisterCount; ++a) {
        if (const auto v = values[static_cast<std::size_t>(a)]) {
            board.WriteByte_AFE(a, *v);
            if (board.link().halted()) return false;
        }
        if (step) step(a);
    }
    return true;
}

} // namespace korva
