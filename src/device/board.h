// The board's command set: every operation is one command exchange with its own opcode,
// argument bytes, reply use and checking style.
#pragma once

#include "exchange.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korva {

namespace opcode {
constexpr std::uint8_t ReadBurstI2C = 0x03;
constexpr std::uint8_t WriteBurstI2C = 0x04;
constexpr std::uint8_t ReadByteAfe = 0x22;
constexpr std::uint8_t WriteByteAfe = 0x23;
constexpr std::uint8_t SyncSeparatorMode = 0x25;
constexpr std::uint8_t MuxChannel = 0x28;
constexpr std::uint8_t ReadByteFpga = 0x2E;
constexpr std::uint8_t WriteByteFpga = 0x2F;
constexpr std::uint8_t WritePortA = 0x30;
constexpr std::uint8_t WritePortB = 0x40;
constexpr std::uint8_t WritePortE = 0x70;
constexpr std::uint8_t WriteEeprom = 0x80;
} // namespace opcode

// The program's name of an operation by its opcode ("WriteByte_AFE"); null when unknown.
const char* OperationName(std::uint8_t op);
// Whether the operation changes something on the board (every opcode but the reads).
bool IsWriteOperation(std::uint8_t op);

constexpr std::uint8_t kAfeI2cAddress = 0x4C;
constexpr int kMaxBurstRead = 64;  // registers in one burst read
constexpr int kMaxBurstWrite = 60; // registers in one burst write

// Every operation refuses arguments outside 0..255 (and a burst longer than the packet
// holds) with std::invalid_argument before anything is sent.
//
// Writes say whether the link is still up afterwards: false once a failure has been
// reported (by this exchange or an earlier one), when the program is ending and nothing
// more may be sent.
class Board {
  public:
    explicit Board(CommandLink& link) : link_(link) {}

    // Burst read of `Length` registers; the result is two upper-case hex digits per register.
    std::string ReadBurstI2C(int deviceAddress, int Address, int Length);
    // The same read as bytes; nothing when the exchange failed (the failure is reported).
    std::optional<std::vector<std::uint8_t>> ReadBurst(int deviceAddress, int Address, int Length);
    // Burst write: `numbytes` bytes taken two hex characters at a time from StringBuffer.
    [[nodiscard]] bool WriteBurstI2C(int SlaveAddress, int StartAddress, int numbytes,
                                     std::string_view StringBuffer);
    // Single AFE register read; decimal text of the value, "0" when the exchange failed.
    std::string ReadByte_AFE(int address);
    // The direct AFE read of the debug controls: reply byte 0 as it stands, the buffer not
    // cleared (so a failed exchange leaves the opcode 0x22 there).
    std::uint8_t ReadAfeUncleared(int address);
    [[nodiscard]] bool WriteByte_AFE(int Address, int Value);
    [[nodiscard]] bool SQ7302Channel_Select(int Value);
    [[nodiscard]] bool TM6185Channel_Select(int Value);
    // FPGA register read; decimal text of the value, "0" when the exchange failed.
    std::string ReadByte_FPGA(int Address);
    // The same read, telling a failed exchange apart from a value.
    std::optional<std::uint8_t> ReadFpga(int Address);
    [[nodiscard]] bool WriteByte_FPGA(int Address, int Value);
    [[nodiscard]] bool Write_PORTA(int Value);
    [[nodiscard]] bool Write_PORTB(int Value);
    [[nodiscard]] bool Write_PORTE(int Value);
    [[nodiscard]] bool WriteByte_EEPROM(int Address, int Value);

    CommandLink& link() { return link_; }

  private:
    // How a message names an argument; a null name: a fixed byte not worth naming.
    using Argument = ExchangeUse::Argument;
    bool writeCommand(const char* operation, std::uint8_t op, std::initializer_list<Argument> args);
    ExchangeResult readBurst(int deviceAddress, int Address, int Length);
    CommandLink& link_;
};

// The microcontroller port a name means ("a", "b" or "e", either case), as its lower-case
// letter; nothing for another name.
std::optional<char> PortLetter(std::string_view name);
// Drives a byte on port 'a', 'b' or 'e' (Write_PORTA, Write_PORTB, Write_PORTE).
[[nodiscard]] bool WritePort(Board& board, char port, std::uint8_t value);

} // namespace korva
