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
struct UsbMatchSetting {
    MatchEntry match;
    std::vector<std::string> problems;
};
UsbMatchSetting ReadUsbMatch(std::string_view path, MatchEntry defaults);

// [Flags] Test of the INI file at `path`: set by "True" or "1" (case as written).
bool ReadTestFlag(std::string_view path);

// The folder the running program was started from (where Config.ini is looked up and the
// installed data folder is found from); empty when the system does not say.
std::string ProgramFolder();

} // namespace korva
