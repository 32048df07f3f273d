// A reader for Windows-style profile (INI) files, with the Windows reader's rules:
// section and key names match without regard to case, the value is trimmed, one pair
// of enclosing quotes is removed, lines starting with ';' are comments, CR LF and LF
// both end lines, and the value is cut to the buffer size (size - 1 characters).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korva {

// Returns the value, or `fallback` when the file, section or key is missing.
std::string ReadProfileString(std::string_view path, std::string_view section, std::string_view key,
                              std::string_view fallback = {}, std::size_t bufferSize = 255);

// The same rules applied to text already in memory.
std::string ProfileStringFromText(std::string_view text, std::string_view section,
                                  std::string_view key, std::string_view fallback = {},
                                  std::size_t bufferSize = 255);

} // namespace korva
