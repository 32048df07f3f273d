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
// What a dump file says of each register: a value, or nothing when its line holds none
// (a box that had not been read when the file was saved).
using DumpValues = std::array<std::optional<std::uint8_t>, kAfeRegisterCount>;

// The two header lines, each with its CR LF.
std::string DumpHeader();

// The register line of one address: its dump name, ": 0x", and the box text as it stands.
// A line break inside a box text would shift every later register by a line on loading,
// so CR and LF in the text are written as blanks.
std::string DumpLine(int address, std::string_view boxText, bool hiddenModesShown);

// The whole file, CR LF after every line. boxTexts[k] is the text of the box of register k.
std::string FormatDump(const RegisterTexts& boxTexts, bool hiddenModesShown);
// The texts the boxes show after a read of all registers: two upper-case hex digits each.
RegisterTexts DumpTexts(const RegisterValues& values);

// The splitting into lines the loader uses: CR LF, a lone CR or a bare LF end a line; a
// last line without a line end still counts.
std::vector<std::string> SplitDumpLines(std::string_view content);

// One register line as the loader reads it: ": 0x" and then the value field, which is
// the rest of the line. A field of two hex digits is the value; an empty field or one of
// one or two blanks is no value (the register is left as it is); anything else is a
// problem, said in plain words.
struct DumpLineReading {
    std::optional<std::uint8_t> value;
    std::string problem; // empty when the line has the shape of a register line
};
DumpLineReading ReadDumpLine(std::string_view line);

struct DumpParseResult {
    std::optional<DumpValues> values; // set when the file is a usable dump
    std::string error;                // otherwise what is wrong with it, naming the line
    int line = 0;                     // the 1-based line the error is about; 0: no one line
    // Registers whose lines hold no value.
    int skipped() const;
};

// Checks the whole content before anything is taken from it: text only (no NUL or other
// control bytes than tab, CR and LF), at least 68 lines, and lines 3 to 68 each a register
// line in address order (names are not read). Lines 1 and 2 and anything after line 68
// are not read.
DumpParseResult ParseDump(std::string_view content);

// A register whose value on the board differs from a dump file's.
struct RegisterDifference {
    int address = 0;
    std::uint8_t board = 0;
    std::uint8_t file = 0;
};
// The registers, in address order, whose value on the board differs from the file's (the
// window's and korva726ctl's compare); registers whose lines hold no value are not compared.
std::vector<RegisterDifference> DumpDifferences(const RegisterValues& board,
                                                const DumpValues& file);

// What a load says when some registers had no value in the file: "3 registers were left
// as they were: their lines hold no value (not read before the file was saved)".
std::string SkippedRegistersText(int skipped);
// What a compare says of them: "3 registers were not compared: their lines hold no value".
std::string NotComparedText(int skipped);

// Reads and checks a dump file. The error says what is wrong without naming the file.
DumpParseResult ReadDumpFile(const std::string& path);

// Replaces the file at `path` with `content`, or leaves it as it was: the content goes to
// a temporary file in the same folder, is flushed and synced (every step checked), and
// only then takes the file's place, with the old file's owner, group and mode. A symbolic
// link keeps pointing where it did (a dangling one gets its file). A file with more than
// one link, or whose owner or group this process may not give, is rewritten in place once
// that copy is on the disk (its old content is put back if that fails). A device or FIFO is
// written to, never replaced. Temporary files that killed saves left in the folder are
// removed when the process that made them is gone. On any failure the temporary file is
// removed and the text of the failure is returned; an empty result means the file was
// written.
std::string WriteFileAtomically(const std::string& path, std::string_view content);

} // namespace korva
