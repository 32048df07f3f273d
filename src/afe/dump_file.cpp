#include "dump_file.h"

#include "device/textnum.h"

#include <cstdio>

namespace korva {
namespace {

constexpr std::string_view kHeader1 = "//KORVA726EVAL Register Dump";
constexpr std::string_view kHeader2 = "//";
constexpr std::string_view kEol = "\r\n";

// Tab, CR and LF are the only control characters a text file of ours may hold.
bool isBinaryByte(unsigned char c) {
    if (c == '\t' || c == '\r' || c == '\n') return false;
    return c < 0x20 || c == 0x7F;
}

} // namespace

std::string DumpHeader() {
    std::string out(kHeader1);
    out.append(kEol).append(kHeader2).append(kEol);
    return out;
}

std::string DumpLine(int address, std::string_view boxText, bool hiddenModesShown) {
    std::string line = DumpName(address, hiddenModesShown);
    line += ": 0x";
    for (char c : boxText)
        line += (c == '\r' || c == '\n') ? ' ' : c;
    return line;
}

std::string FormatDump(const RegisterTexts& boxTexts, bool hiddenModesShown) {
    std::string out;
    out.reserve(kDumpLines * 40);
    out += DumpHeader();
    for (int a = 0; a < kAfeRegisterCount; ++a)
        out.append(DumpLine(a, boxTexts[static_cast<std::size_t>(a)], hiddenModesShown))
            .append(kEol);
    return out;
}

std::vector<std::string> SplitDumpLines(std::string_view content) {
    std::vector<std::string> lines;
    std::string current;
    bool pending = false; // characters since the last line end
    for (std::size_t i = 0; i < content.size(); ++i) {
        const char c = content[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(std::move(current));
            current.clear();
            pending = false;
            if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ++i;
        } else {
            current += c;
            pending = true;
        }
    }
    if (pending) lines.push_back(std::move(current));
    return lines;
}

std::uint8_t DumpLineValue(std::string_view line) {
    const std::string_view tail = line.size() > 2 ? line.substr(line.size() - 2) : line;
    return static_cast<std::uint8_t>(ParseHexLenient(tail) & 0xFF);
}

DumpParseResult ParseDump(std::string_view content) {
    DumpParseResult result;
    for (std::size_t i = 0; i < content.size(); ++i) {
        const auto c = static_cast<unsigned char>(content[i]);
        if (isBinaryByte(c)) {
            char buf[120];
            std::snprintf(buf, sizeof buf,
                          "it is not a text file (byte 0x%02X at offset %zu); a register dump "
                          "holds text only",
                          c, i);
            result.error = buf;
            return result;
        }
    }
    const std::vector<std::string> lines = SplitDumpLines(content);
    if (lines.size() < static_cast<std::size_t>(kDumpLines)) {
        result.error = "it has " + std::to_string(lines.size()) + " line" +
                       (lines.size() == 1 ? "" : "s") + "; a register dump has " +
                       std::to_string(kDumpLines) + " (two header lines and one line for each " +
                       "register 0x00 to 0x41)";
        return result;
    }
    RegisterValues values{};
    for (int a = 0; a < kAfeRegisterCount; ++a)
        values[static_cast<std::size_t>(a)] =
            DumpLineValue(lines[static_cast<std::size_t>(kDumpHeaderLines + a)]);
    result.values = values;
    return result;
}

} // namespace korva
