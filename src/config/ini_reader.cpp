#include "ini_reader.h"

#include "device/textnum.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace korva {
namespace {

std::string_view trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string cut(std::string_view value, std::size_t bufferSize) {
    if (bufferSize == 0) return {};
    return std::string(value.substr(0, bufferSize - 1));
}

// The whole file, or nothing when it is missing, a folder or unreadable.
std::optional<std::string> readFile(std::string_view path) {
    std::error_code ec;
    const std::filesystem::path p{std::string(path)};
    if (!std::filesystem::is_regular_file(p, ec)) return std::nullopt;
    std::ifstream in(p, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// A USB identifier: hexadecimal digits, "0x" allowed, 0..FFFF.
std::optional<std::uint16_t> usbIdentifier(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty() || !std::all_of(text.begin(), text.end(), IsHexDigit)) return std::nullopt;
    const std::uint64_t value = ParseHexLenient(text);
    if (value > 0xFFFF) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

} // namespace

std::optional<ProfileEntry> FindProfileEntry(std::string_view text, std::string_view section,
                                             std::string_view key, std::size_t bufferSize) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3); // UTF-8 byte-order mark
    bool inSection = false;
    std::size_t pos = 0;
    std::size_t number = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = trim(text.substr(pos, end - pos));
        pos = end + 1;
        ++number;
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            const auto close = line.find(']');
            inSection = close != std::string_view::npos &&
                        sameName(trim(line.substr(1, close - 1)), trim(section));
            continue;
        }
        if (!inSection) continue;
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        if (!sameName(trim(line.substr(0, eq)), trim(key))) continue;
        std::string_view value = trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return ProfileEntry{cut(value, bufferSize), number};
    }
    return std::nullopt;
}

std::string ProfileStringFromText(std::string_view text, std::string_view section,
                                  std::string_view key, std::string_view fallback,
                                  std::size_t bufferSize) {
    if (auto entry = FindProfileEntry(text, section, key, bufferSize)) return entry->value;
    return cut(fallback, bufferSize);
}

std::string ReadProfileString(std::string_view path, std::string_view section, std::string_view key,
                              std::string_view fallback, std::size_t bufferSize) {
    const auto text = readFile(path);
    if (!text) return cut(fallback, bufferSize);
    return ProfileStringFromText(*text, section, key, fallback, bufferSize);
}

UsbMatchSetting ReadUsbMatch(std::string_view path, MatchEntry defaults) {
    UsbMatchSetting setting{defaults, {}};
    const auto text = readFile(path);
    if (!text) return setting;
    const std::pair<const char*, std::uint16_t*> keys[] = {{"VendorID", &setting.match.vendorId},
                                                           {"ProductID", &setting.match.productId}};
    for (const auto& [key, id] : keys) {
        const auto entry = FindProfileEntry(*text, "USB", key);
        if (!entry || entry->value.empty()) continue;
        if (const auto v = usbIdentifier(entry->value)) {
            *id = *v;
            continue;
        }
        char fallback[8];
        std::snprintf(fallback, sizeof fallback, "%04X", *id);
        setting.problems.push_back(std::string(path) + ", line " + std::to_string(entry->line) +
                                   ": " + key + " \"" + entry->value +
                                   "\" is not a USB identifier (hexadecimal 0 to FFFF); the "
                                   "default " +
                                   fallback + " is used");
    }
    return setting;
}

bool ReadTestFlag(std::string_view path) {
    const std::string flag = ReadProfileString(path, "Flags", "Test");
    return flag == "True" || flag == "1";
}

std::string ProgramFolder() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.parent_path().string();
}

} // namespace korva
