#include "fpga_ops.h"

namespace korva {

std::optional<std::uint8_t> ReadFpgaRegister(Board& board, int address) {
    return board.ReadFpga(address);
}

bool WriteFpgaRegister(Board& board, int address, std::uint8_t value) {
    return board.WriteByte_FPGA(address, value);
}

std::array<std::optional<std::uint8_t>, kFpgaReadAllCount> ReadAllFpgaRegisters(Board& board) {
    std::array<std::optional<std::uint8_t>, kFpgaReadAllCount> values;
    for (int a = 0; a < kFpgaReadAllCount; ++a)
        values[static_cast<std::size_t>(a)] = ReadFpgaRegister(board, a);
    return values;
}

} // namespace korva
