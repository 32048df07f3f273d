// Plain text rules of the register boxes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korva {

// Steps the two-digit hex text A by n modulo 256 and returns the new two-digit text,
// which is also left in A. An empty A counts as "00". A text that is not one or two
// hex digits (two blanks, pasted text) is left alone and nothing is returned.
std::optional<std::string> AddHexString(std::string& A, int n);

// The value text of a box: its last two characters.
std::string_view ValueText(std::string_view boxText);

// The byte a box's text stands for when written: its value text read leniently as hex.
// Nothing when that reading finds no hex digit (a box never read holds blanks): such a
// box has no value to write, and 0x00 would overwrite the chip's register.
std::optional<int> BoxValue(std::string_view boxText);

} // namespace korva
