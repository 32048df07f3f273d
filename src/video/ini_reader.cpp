#include "ini_reader.h"

#include <algorithm>
#include <cctype>
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

} // namespace

std::string ProfileStringFromText(std::string_view text, std::string_view section,
                                  std::string_view key, std::string_view fallback,
                                  std::size_t bufferSize) {
    bool inSection = false;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = trim(text.substr(pos, end - pos));
        pos = end + 1;
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
        return cut(value, bufferSize);
    }
    return cut(fallback, bufferSize);
}

std::string ReadProfileString(std::string_view path, std::string_view section, std::string_view key,
                              std::string_view fallback, std::size_t bufferSize) {
    std::error_code ec;
    const std::filesystem::path p{std::string(path)};
    if (!std::filesystem::is_regular_file(p, ec)) return cut(fallback, bufferSize);
    std::ifstream in(p, std::ios::binary);
    if (!in) return cut(fallback, bufferSize);
    std::ostringstream content;
    content << in.rdbuf();
    return ProfileStringFromText(content.str(), section, key, fallback, bufferSize);
}

} // namespace korva
