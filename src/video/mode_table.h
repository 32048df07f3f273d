// The video mode table, mode_table.dat: two free header lines, a third line whose last
// two characters give the number of modes N, then N mode lines of the form
//   name,DE Hstart,DE Hstop,DE Vstart,DE Vstop,PLL Htotal;comment
// The lines are kept verbatim; the dialog parses the chosen one when it programs the
// board. The reader never gives up on a damaged file: it keeps every mode it can use and
// lists what it found wrong, with line numbers, for the caller to log and show.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korva {

constexpr const char* kModeTableFileName = "mode_table.dat";
constexpr int kMinModes = 2;  // the second mode is the default selection
constexpr int kMaxModes = 33; // the table holds entries 0..32

// One mode line taken apart. Each number is read from its field with ReadNumber.
struct ModeLine {
    std::string name; // text before the first comma
    double hStart = 0;
    double hStop = 0;
    double vStart = 0;
    double vStop = 0;
    double pllHtotal = 0;
};

// Splits a mode line. Field k (2..5) runs from just after comma k-1 up to and including
// comma k; PLL Htotal from just after comma 5 up to and including the first semicolon.
// Nothing when the line lacks five commas or a semicolon after the fifth comma.
std::optional<ModeLine> ParseModeLine(std::string_view line);

// What is wrong with a mode line for programming the board: a missing comma or
// semicolon, or a value that does not fit 16 bits (0..65535). Empty when it is usable.
std::string ModeLineProblem(std::string_view line);

struct ModeTable {
    int declaredModes = 0;          // the count of line 3 (0 when it does not read)
    std::vector<std::string> lines; // usable mode lines, verbatim, in file order
    std::vector<std::string> problems;
};

// The table's line for the mode of that name (the first, when several share it); null
// when there is none.
const std::string* FindModeLine(const ModeTable& table, std::string_view name);

// Reads the table from text already in memory (CR LF or LF line ends).
ModeTable ParseModeTable(std::string_view text);
// A real table is a few kilobytes; one beyond this is refused unread.
constexpr std::size_t kModeTableMaxBytes = 1 << 20;

// Reads the table from a file; a file that cannot be opened, or that is larger than
// kModeTableMaxBytes, is one problem naming it.
ModeTable ReadModeTable(const std::string& path);

struct ModeTableLocation {
    std::string path; // empty when no table was found anywhere
    std::string note; // which fallback was taken (empty when found in the working directory)
};

// mode_table.dat in the working directory ("" = the current directory), else in the data
// folder beside the running program's install (<bin>/../share/korva726eval), else in the
// installed data directory, else in the source tree's data folder (so that a program run
// from the build tree finds the shipped table).
ModeTableLocation FindModeTable(const std::string& workingDir);
// The same with the two fallback folders given (tests).
ModeTableLocation FindModeTable(const std::string& workingDir,
                                const std::vector<std::string>& fallbackDirs);

} // namespace korva
