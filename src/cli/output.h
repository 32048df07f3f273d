// How the command-line tool prints registers: numbers as i2c-tools print them, the
// register table of i2cdump's byte mode, and the JSON form of a register.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korva::cli {

// "0x%02x", as i2cget prints a value.
std::string Hex(int v);

// Sixteen registers a row with the address column and the text column, as i2cdump prints
// them. values[a] is register a; an empty entry is a failed read (XX); the cells of a
// row past the last register stay blank.
std::string RegisterTable(const std::vector<std::optional<std::uint8_t>>& values);

// {"address": 6, "address_hex": "0x06", "value": 128, "value_hex": "0x80"}; the value
// is null for a failed read.
nlohmann::json RegisterJson(int address, std::optional<std::uint8_t> value);

} // namespace korva::cli
