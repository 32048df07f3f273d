// A reader for Windows-style profile (INI) files, with the Windows reader's rules:
// section and key names match without regard to case, the value is trimmed, one pair
// of enclosing quotes is removed, lines starting with ';' are comments, CR LF and LF
// both end lines, and the value is cut to the buffer size (size - 1 characters). A UTF-8
// byte-order mark at the start of the file is skipped.
#pragma once

#include "device/usb_layer.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korva {

// Returns the value, or `fallback` when the file, section or key is missing.
std::string ReadProfileString(std::string_view path, std::string_view section, std::string_view key,
                              std::string_view fallback = {}, std::size_t bufferSize = 255);

// The same rules applied to text already in memory.
std::string ProfileStringFromText(std::string_view text, std::string_view section,
                                  std::string_view key, std::string_view fallback = {},
                                  std::size_t bufferSize = 255);

// The entry itself, with its 1-based line number; nothing when section or key is missing.
struct ProfileEntry {
    std::string value;
    std::size_t line = 0;
};
std::optional<ProfileEntry> FindProfileEntry(std::string_view text, std::string_view section,
                                             std::string_view key, std::size_t bufferSize = 255);

// The board's USB identifiers: [USB] VendorID and ProductID of the INI file at `path`
// (hexadecimal, "0x" allowed) over `defaults`. A value that is no number of 0..FFFF is
// refused: its default stays, and `problems` gets a line naming the file's line and the
// default used. An empty value or a missing file, section or key keeps the default silently.
// A file larger than kConfigMaxBytes is not read (nor by the other readers here, which then
// give the fallback): `problems` names it and its size.
struct UsbMatchSetting {
    MatchEntry match;
    std::vector<std::string> problems;
};
UsbMatchSetting ReadUsbMatch(std::string_view path, MatchEntry defaults);

// [Flags] Test of the INI file at `path`: set by "True" or "1" (case as written).
bool ReadTestFlag(std::string_view path);

// A small text file read whole: a regular file of at most `limit` bytes. A larger one is
// refused after reading no more than `limit` + 1 bytes of it, so that a huge file costs
// neither time nor memory. `problem` says what went wrong, naming the file: for a file
// that is too large, "<path> is <size> bytes long, far more than <what> ...".
struct SmallFile {
    std::optional<std::string> text;
    bool tooLarge = false; // refused for its size
    std::string problem;
};
SmallFile ReadSmallFile(std::string_view path, std::size_t limit, std::string_view what);

// Config.ini holds a few short lines; one beyond this is not read at all.
constexpr std::size_t kConfigMaxBytes = 1 << 20;

// The folder the running program was started from (where Config.ini is looked up and the
// installed data folder is found from); empty when the system does not say.
std::string ProgramFolder();

} // namespace korva
