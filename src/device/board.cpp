#include "board.h"

#include "textnum.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace korva {
namespace {

std::uint8_t checkedByte(const char* operation, const char* what, int v) {
    if (v < 0 || v > 255)
        throw std::invalid_argument(std::string(operation) + ": " + what + " " + std::to_string(v) +
                                    " is outside 0..255; nothing was sent to the board");
    return static_cast<std::uint8_t>(v);
}

} // namespace

const char* OperationName(std::uint8_t op) {
    switch (op) {
    case opcode::ReadBurstI2C:
        return "ReadBurstI2C";
    case opcode::WriteBurstI2C:
        return "WriteBurstI2C";
    case opcode::ReadByteAfe:
        return "ReadByte_AFE";
    case opcode::WriteByteAfe:
        return "WriteByte_AFE";
    case opcode::SyncSeparatorMode:
        return "SQ7302Channel_Select";
    case opcode::MuxChannel:
        return "TM6185Channel_Select";
    case opcode::ReadByteFpga:
        return "ReadByte_FPGA";
    case opcode::WriteByteFpga:
        return "WriteByte_FPGA";
    case opcode::WritePortA:
        return "Write_PORTA";
    case opcode::WritePortB:
        return "Write_PORTB";
    case opcode::WritePortE:
        return "Write_PORTE";
    case opcode::WriteEeprom:
        return "WriteByte_EEPROM";
    default:
        return nullptr;
    }
}

bool IsWriteOperation(std::uint8_t op) {
    switch (op) {
    case opcode::WriteBurstI2C:
    case opcode::WriteByteAfe:
    case opcode::SyncSeparatorMode:
    case opcode::MuxChannel:
    case opcode::WriteByteFpga:
    case opcode::WritePortA:
    case opcode::WritePortB:
    case opcode::WritePortE:
    case opcode::WriteEeprom:
        return true;
    default:
        return false;
    }
}

ExchangeResult Board::readBurst(int deviceAddress, int Address, int Length) {
    const auto dev = checkedByte("ReadBurstI2C", "device address", deviceAddress);
    const auto addr = checkedByte("ReadBurstI2C", "register address", Address);
    if (Length < 0 || Length > kMaxBurstRead)
        throw std::invalid_argument("ReadBurstI2C: length " + std::to_string(Length) +
                                    " is outside 0..64; nothing was sent to the board");
    // The values are the first Length reply bytes: a shorter reply is a failure.
    return link_.ExchangeCommand(
        {opcode::ReadBurstI2C, dev, addr, static_cast<std::uint8_t>(Length)},
        CheckStyle::ReportedAsNotFound, false,
        {static_cast<std::uint32_t>(Length),
         "ReadBurstI2C",
         {{{"device", dev}, {"register", addr}, {"bytes", Length}}}});
}

std::string Board::ReadBurstI2C(int deviceAddress, int Address, int Length) {
    const auto r = readBurst(deviceAddress, Address, Length);
    std::string text;
    text.reserve(2 * static_cast<std::size_t>(Length));
    for (int i = 0; i < Length; ++i)
        text += HexByte(r.reply[static_cast<std::size_t>(i)]);
    return text;
}

std::optional<std::vector<std::uint8_t>> Board::ReadBurst(int deviceAddress, int Address,
                                                          int Length) {
    const auto r = readBurst(deviceAddress, Address, Length);
    if (!r.ok) return std::nullopt;
    return std::vector<std::uint8_t>(r.reply.begin(), r.reply.begin() + Length);
}

bool Board::WriteBurstI2C(int SlaveAddress, int StartAddress, int numbytes,
                          std::string_view StringBuffer) {
    Packet p{};
    p[0] = opcode::WriteBurstI2C;
    p[1] = checkedByte("WriteBurstI2C", "slave address", SlaveAddress);
    p[2] = checkedByte("WriteBurstI2C", "start address", StartAddress);
    if (numbytes < 0 || numbytes > kMaxBurstWrite)
        throw std::invalid_argument("WriteBurstI2C: byte count " + std::to_string(numbytes) +
                                    " is outside 0..60; nothing was sent to the board");
    p[3] = static_cast<std::uint8_t>(numbytes);
    for (std::size_t i = 0; i < static_cast<std::size_t>(numbytes); ++i) {
        std::string_view group =
            2 * i < StringBuffer.size() ? StringBuffer.substr(2 * i, 2) : std::string_view{};
        p[4 + i] = static_cast<std::uint8_t>(ParseHexLenient(group) & 0xFF);
    }
    return link_
        .ExchangeCommand(
            p, CheckStyle::ReportedAsNotFound, false,
            {0, "WriteBurstI2C", {{{"device", p[1]}, {"register", p[2]}, {"bytes", numbytes}}}})
        .ok;
}

std::string Board::ReadByte_AFE(int address) {
    const auto a = checkedByte("ReadByte_AFE", "address", address);
    const auto r =
        link_.ExchangeCommand({opcode::ReadByteAfe, a}, CheckStyle::NotReported, true, {1, {}});
    return std::to_string(r.reply[0]);
}

std::uint8_t Board::ReadAfeUncleared(int address) {
    const auto a = checkedByte("ReadByteAFE", "address", address);
    return link_.ExchangeCommand({opcode::ReadByteAfe, a}, CheckStyle::NotReported, false, {1, {}})
        .reply[0];
}

std::optional<std::uint8_t> Board::ReadFpga(int Address) {
    const auto a = checkedByte("ReadByte_FPGA", "address", Address);
    const auto r =
        link_.ExchangeCommand({opcode::ReadByteFpga, a}, CheckStyle::NotReported, true, {1, {}});
    if (!r.ok) return std::nullopt;
    return r.reply[0];
}

std::string Board::ReadByte_FPGA(int Address) {
    return std::to_string(ReadFpga(Address).value_or(0));
}

// The writes use none of the reply: the board has taken the command once the packet is
// out, so a short reply to a write is no failure.
bool Board::writeCommand(const char* operation, std::uint8_t op,
                         std::initializer_list<Argument> args) {
    Packet p{};
    p[0] = op;
    ExchangeUse use{0, operation, {}};
    std::size_t i = 1;
    for (const Argument& a : args) {
        p[i] = checkedByte(operation, a.name ? a.name : "argument", a.value);
        use.arguments[i - 1] = {a.name, a.value};
        ++i;
    }
    return link_.ExchangeCommand(p, CheckStyle::ReportedWithStatus, false, use).ok;
}

bool Board::WriteByte_AFE(int Address, int Value) {
    return writeCommand("WriteByte_AFE", opcode::WriteByteAfe,
                        {{"register", Address}, {"value", Value}});
}
bool Board::SQ7302Channel_Select(int Value) {
    return writeCommand("SQ7302Channel_Select", opcode::SyncSeparatorMode, {{"mode", Value}});
}
bool Board::TM6185Channel_Select(int Value) {
    return writeCommand("TM6185Channel_Select", opcode::MuxChannel, {{"channel", Value}});
}
bool Board::WriteByte_FPGA(int Address, int Value) {
    return writeCommand("WriteByte_FPGA", opcode::WriteByteFpga,
                        {{"register", Address}, {"value", Value}});
}
bool Board::Write_PORTA(int Value) {
    return writeCommand("Write_PORTA", opcode::WritePortA, {{"value", Value}});
}
bool Board::Write_PORTB(int Value) {
    return writeCommand("Write_PORTB", opcode::WritePortB, {{"value", Value}});
}
bool Board::Write_PORTE(int Value) {
    return writeCommand("Write_PORTE", opcode::WritePortE, {{"value", Value}});
}
bool Board::WriteByte_EEPROM(int Address, int Value) {
    // Byte 1 is the address's high byte, always 0.
    return writeCommand("WriteByte_EEPROM", opcode::WriteEeprom,
                        {{nullptr, 0}, {"address", Address}, {"value", Value}});
}

std::optional<char> PortLetter(std::string_view name) {
    if (name.size() != 1) return std::nullopt;
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
    return c == 'a' || c == 'b' || c == 'e' ? std::optional<char>(c) : std::nullopt;
}

bool WritePort(Board& board, char port, std::uint8_t value) {
    return port == 'a'   ? board.Write_PORTA(value)
           : port == 'b' ? board.Write_PORTB(value)
                         : board.Write_PORTE(value);
}

} // namespace korva
