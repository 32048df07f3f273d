// The board's command set: every operation is one command exchange with its own opcode,
// argument bytes, reply use and checking style.
#pragma once

#include "exchange.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

constexpr std::uint8_t kAfeI2cAddress = 0x4C;
constexpr int kMaxBurstRead = 64;  // registers in one burst read
constexpr int kMaxBurstWrite = 60; // registers in one burst write

// Every operation refuses arguments outside 0..255 (and a burst longer than the packet
// holds) with std::invalid_argument before anything is sent.
class Board {
  public:
    explicit Board(CommandLink& link) : link_(link) {}

    // Burst read of `Length` registers; the result is two upper-case hex digits per register.
    std::string ReadBurstI2C(int deviceAddress, int Address, int Length);
    // Burst write: `numbytes` bytes taken two hex characters at a time from StringBuffer.
    void WriteBurstI2C(int SlaveAddress, int StartAddress, int numbytes,
                       std::string_view StringBuffer);
    // Single AFE register read; decimal text of the value, "0" when the exchange failed.
    std::string ReadByte_AFE(int address);
    // The direct AFE read of the debug controls: reply byte 0 as it stands, the buffer not
    // cleared (so a failed exchange leaves the opcode 0x22 there).
    std::uint8_t ReadAfeUncleared(int address);
    void WriteByte_AFE(int Address, int Value);
    void SQ7302Channel_Select(int Value);
    void TM6185Channel_Select(int Value);
    // FPGA register read; decimal text of the value, "0" when the exchange failed.
    std::string ReadByte_FPGA(int Address);
    // The same read, telling a failed exchange apart from a value.
    std::optional<std::uint8_t> ReadFpga(int Address);
    void WriteByte_FPGA(int Address, int Value);
    void Write_PORTA(int Value);
    void Write_PORTB(int Value);
    void Write_PORTE(int Value);
    void WriteByte_EEPROM(int Address, int Value);

    CommandLink& link() { return link_; }

  private:
    // How a message names an argument; a null name: a fixed byte not worth naming.
    using Argument = ExchangeUse::Argument;
    void writeCommand(const char* operation, std::uint8_t op, std::initializer_list<Argument> args);
    CommandLink& link_;
};

} // namespace korva
