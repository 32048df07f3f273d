// The register dump file: a text file of 68 CR LF lines, two header lines and one line per
// AFE register (0x00..0x41), "name: 0x" followed by the register box's text.
#pragma once

#include "register_map.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korva {

constexpr int kDumpHeaderLines = 2;
constexpr int kDumpLines = kDumpHeaderLines + kAfeRegisterCount; // 68
// A dump file is about 2.5 KB; anything far larger was chosen by mistake.
constexpr std::size_t kDumpMaxBytes = 64 * 1024;

using RegisterTexts = std::array<std::string, kAfeRegisterCount>;
using RegisterValues = std::array<std::uint8_t, kAfeRegisterCount>;

// The two header lines, each with its CR LF.
std::string DumpHeader();

// The register line of one address: its dump name, ": 0x", and the box text as it stands.
// A line break inside a box text would shift every later register by a line on loading,
// so CR and LF in the text are written as blanks.
std::string DumpLine(int address, std::string_view boxText, bool hiddenModesShown);

// The whole file, CR LF after every line. boxTexts[k] is the text of the box of register k.
std::string FormatDump(const RegisterTexts& boxTexts, bool hiddenModesShown);

// The splitting into lines the loader uses: CR LF, a lone CR or a bare LF end a line; a
// last line without a line end still counts.
std::vector<std::string> SplitDumpLines(std::string_view content);

// The value of one register line: its last two characters (all of it when shorter) read as
// hexadecimal leniently, so blanks or other text there give 0 or a partial value.
std::uint8_t DumpLineValue(std::string_view line);

struct DumpParseResult {
    std::optional<RegisterValues> values; // set when the file is a usable dump
    std::string error;                    // otherwise what is wrong with it, in plain words
};

// Checks the whole content first and only then takes the values: lines 1 and 2 are
// skipped, the next 66 lines in order are registers 0x00..0x41 (names are not read),
// anything after line 68 is ignored. Content that is not text (NUL or other control
// bytes than tab, CR and LF) or that has fewer than 68 lines gives an error instead.
DumpParseResult ParseDump(std::string_view content);

} // namespace korva
