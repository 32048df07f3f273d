#include "ini_reader.h"

#include "device/textnum.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

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

// The whole of Config.ini, or nothing when it is missing, a folder, unreadable or too large.
SmallFile readConfig(std::string_view path) {
    return ReadSmallFile(path, kConfigMaxBytes, "any Config.ini");
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

SmallFile ReadSmallFile(std::string_view path, std::size_t limit, std::string_view what) {
    SmallFile f;
    std::string shown(path);
    // A NUL would end the name the system sees: another file than the one named.
    if (path.find('\0') != std::string_view::npos) {
        for (std::size_t at = 0; (at = shown.find('\0', at)) != std::string::npos;)
            shown.replace(at, 1, "\\0");
        f.problem = "the file name \"" + shown + "\" holds a NUL byte";
        return f;
    }
    // Not blocking: a FIFO of that name must not hang the program before it is refused.
    const int fd = ::open(shown.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        f.problem = "cannot open " + shown + ": " + std::strerror(errno);
        return f;
    }
    const auto tooLarge = [&](const std::string& size) {
        f.tooLarge = true;
        f.problem = shown + " is " + size + " bytes long, far more than " + std::string(what) +
                    " (" + std::to_string(limit) + " bytes at most); it was not read";
    };
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) != 0) {
        f.problem = "cannot read " + shown + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        f.problem = shown + " is not a file";
    } else if (static_cast<std::uint64_t>(st.st_size) > limit) {
        tooLarge(std::to_string(st.st_size));
    } else {
        // The size may change while the file is read: never take more than the limit.
        text.resize(limit + 1);
        std::size_t got = 0;
        int error = 0;
        while (got < text.size() && error == 0) {
            const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
            if (n == 0) break;
            if (n > 0)
                got += static_cast<std::size_t>(n);
            else if (errno != EINTR)
                error = errno;
        }
        if (error != 0) {
            f.problem = "cannot read " + shown + ": " + std::strerror(error);
        } else if (got > limit) {
            tooLarge("more than " + std::to_string(limit));
        } else {
            text.resize(got);
            f.text = std::move(text);
        }
    }
    ::close(fd);
    return f;
}

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
    const SmallFile file = readConfig(path);
    if (!file.text) return cut(fallback, bufferSize);
    return ProfileStringFromText(*file.text, section, key, fallback, bufferSize);
}

UsbMatchSetting ReadUsbMatch(std::string_view path, MatchEntry defaults) {
    UsbMatchSetting setting{defaults, {}};
    const SmallFile file = readConfig(path);
    if (file.tooLarge) setting.problems.push_back(file.problem);
    if (!file.text) return setting;
    const std::string& text = *file.text;
    const std::pair<const char*, std::uint16_t*> keys[] = {{"VendorID", &setting.match.vendorId},
                                                           {"ProductID", &setting.match.productId}};
    for (const auto& [key, id] : keys) {
        const auto entry = FindProfileEntry(text, "USB", key);
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
