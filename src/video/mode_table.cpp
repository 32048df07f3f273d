#include "mode_table.h"

#include "config/ini_reader.h"

#include "device/textnum.h"

#include <array>
#include <filesystem>
#include <sstream>

namespace korva {
namespace {

// Positions (0-based) of the first five commas, each searched after the previous one,
// and of the first semicolon. Nothing when a comma is missing or the semicolon does not
// come after the fifth comma.
struct Separators {
    std::array<std::size_t, 5> comma{};
    std::size_t semicolon = 0;
};

std::optional<Separators> findSeparators(std::string_view line, std::string* why) {
    Separators s;
    std::size_t from = 0;
    for (std::size_t k = 0; k < 5; ++k) {
        const std::size_t c = line.find(',', from);
        if (c == std::string_view::npos) {
            if (why)
                *why = "it has " + std::to_string(k) +
                       " comma(s) where name and five numbers need five";
            return std::nullopt;
        }
        s.comma[k] = c;
        from = c + 1;
    }
    s.semicolon = line.find(';');
    if (s.semicolon == std::string_view::npos) {
        if (why) *why = "it has no semicolon after the PLL Htotal";
        return std::nullopt;
    }
    if (s.semicolon < s.comma[4]) {
        if (why) *why = "its first semicolon comes before the fifth comma";
        return std::nullopt;
    }
    return s;
}

// Text from just after `after` up to and including `through`.
std::string_view field(std::string_view line, std::size_t after, std::size_t through) {
    return line.substr(after + 1, through - after);
}

// A piece of a line for a message: whole when short, else its start and its length, so
// that a damaged file of long lines gives short problems.
std::string excerpt(std::string_view text) {
    constexpr std::size_t kLimit = 60;
    if (text.size() <= kLimit) return "\"" + std::string(text) + "\"";
    std::size_t cut = kLimit - 3;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut; // not inside a UTF-8 character
    return "\"" + std::string(text.substr(0, cut)) + "...\" (" + std::to_string(text.size()) +
           " characters)";
}

std::string formatValue(double v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

// Splits text into lines: LF ends a line, a CR just before it is part of the line end.
// A last line without a line end still counts; an empty text has no lines.
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        pos = next;
    }
    return lines;
}

std::string lineRef(std::size_t number) {
    return "line " + std::to_string(number);
}

} // namespace

std::optional<ModeLine> ParseModeLine(std::string_view line) {
    const auto s = findSeparators(line, nullptr);
    if (!s) return std::nullopt;
    ModeLine m;
    m.name = std::string(line.substr(0, s->comma[0]));
    m.hStart = ReadNumber(field(line, s->comma[0], s->comma[1]));
    m.hStop = ReadNumber(field(line, s->comma[1], s->comma[2]));
    m.vStart = ReadNumber(field(line, s->comma[2], s->comma[3]));
    m.vStop = ReadNumber(field(line, s->comma[3], s->comma[4]));
    m.pllHtotal = ReadNumber(field(line, s->comma[4], s->semicolon));
    return m;
}

const std::string* FindModeLine(const ModeTable& table, std::string_view name) {
    for (const std::string& line : table.lines)
        if (const auto mode = ParseModeLine(line); mode && mode->name == name) return &line;
    return nullptr;
}

std::string ModeLineProblem(std::string_view line) {
    std::string why;
    const auto separators = findSeparators(line, &why);
    if (!separators) return why;
    const Separators& s = *separators;
    const char* names[] = {"DE horizontal start", "DE horizontal stop", "DE vertical start",
                           "DE vertical stop", "PLL Htotal"};
    for (std::size_t k = 0; k < 5; ++k) {
        const std::size_t end = k < 4 ? s.comma[k + 1] : s.semicolon;
        const std::string_view text = line.substr(s.comma[k] + 1, end - s.comma[k] - 1);
        const auto v = ReadNumberChecked(text);
        if (!v)
            return std::string("its ") + names[k] + " " + excerpt(text) + " is too large to read";
        if (!SplitWord(*v))
            return std::string("its ") + names[k] + " " + formatValue(*v) +
                   " is outside 0..65535 and does not fit two register bytes";
    }
    return {};
}

ModeTable ParseModeTable(std::string_view text) {
    ModeTable t;
    const auto lines = splitLines(text);
    if (lines.size() < 3) {
        t.problems.push_back("the file has " + std::to_string(lines.size()) +
                             " line(s); two header lines and the mode count on line 3 are "
                             "needed");
        return t;
    }

    // Line 3: its last two characters are the count (" 9", "09" and "27" all read).
    const std::string_view third = lines[2];
    const std::string_view tail = third.size() > 2 ? third.substr(third.size() - 2) : third;
    std::string digits;
    bool numeric = true;
    for (char c : tail) {
        if (c == ' ' || c == '\t') continue;
        if (c < '0' || c > '9') numeric = false;
        digits.push_back(c);
    }
    if (digits.empty() || !numeric) {
        t.problems.push_back(lineRef(3) + ": the mode count \"" + std::string(tail) +
                             "\" at the end of " + excerpt(third) +
                             " is not a number; no modes were read");
        return t;
    }
    int count = std::stoi(digits);
    t.declaredModes = count;
    if (count < kMinModes)
        t.problems.push_back(lineRef(3) + ": the file declares " + std::to_string(count) +
                             " mode(s); at least " + std::to_string(kMinModes) + " are expected");
    if (count > kMaxModes) {
        t.problems.push_back(lineRef(3) + ": the file declares " + std::to_string(count) +
                             " modes; only the first " + std::to_string(kMaxModes) + " were read");
        count = kMaxModes;
    }

    const std::size_t available = lines.size() - 3;
    if (available < static_cast<std::size_t>(count))
        t.problems.push_back("the file declares " + std::to_string(t.declaredModes) +
                             " modes but only " + std::to_string(available) +
                             " mode line(s) follow the header");
    const std::size_t n = std::min(available, static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view line = lines[3 + i];
        const std::string why = ModeLineProblem(line);
        if (why.empty()) {
            t.lines.emplace_back(line);
        } else {
            t.problems.push_back(lineRef(4 + i) + ": mode " + excerpt(line) + " left out: " + why);
        }
    }
    return t;
}

ModeTable ReadModeTable(const std::string& path) {
    const SmallFile file = ReadSmallFile(path, kModeTableMaxBytes, "any mode table");
    if (!file.text) {
        ModeTable t;
        t.problems.push_back("the mode table cannot be used: " + file.problem);
        return t;
    }
    return ParseModeTable(*file.text);
}

ModeTableLocation FindModeTable(const std::string& workingDir,
                                const std::vector<std::string>& fallbackDirs) {
    namespace fs = std::filesystem;
    const auto isFile = [](const fs::path& p) {
        std::error_code ec;
        return fs::is_regular_file(p, ec);
    };
    const fs::path here = fs::path(workingDir.empty() ? "." : workingDir) / kModeTableFileName;
    if (isFile(here)) return {here.string(), {}};

    const std::string missing =
        std::string(kModeTableFileName) + " is not in " +
        (workingDir.empty() ? std::string("the current directory") : workingDir);
    std::string searched;
    for (const std::string& dir : fallbackDirs) {
        if (dir.empty()) continue;
        const fs::path p = fs::path(dir) / kModeTableFileName;
        if (isFile(p)) return {p.string(), missing + "; using " + p.string()};
        searched += ", " + dir;
    }
    return {{}, missing + searched + " either; no video modes are available"};
}

ModeTableLocation FindModeTable(const std::string& workingDir) {
    std::vector<std::string> dirs;
#ifdef KORVA_DATADIR_FROM_BINDIR
    // The data folder of the install the running program belongs to.
    if (const std::string bin = ProgramFolder(); !bin.empty())
        dirs.push_back(
            (std::filesystem::path(bin) / KORVA_DATADIR_FROM_BINDIR).lexically_normal().string());
#endif
#ifdef KORVA_DATADIR
    dirs.emplace_back(KORVA_DATADIR);
#endif
#ifdef KORVA_SOURCE_DATADIR
    dirs.emplace_back(KORVA_SOURCE_DATADIR);
#endif
    return FindModeTable(workingDir, dirs);
}

} // namespace korva
