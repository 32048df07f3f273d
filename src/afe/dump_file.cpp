#include "dump_file.h"

#include "device/textnum.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

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

// A field of the file shown in a message: quoted, and cut when it is long.
std::string quoted(std::string_view text) {
    constexpr std::size_t kShown = 20;
    return "\"" + std::string(text.substr(0, kShown)) + (text.size() > kShown ? "...\"" : "\"");
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

RegisterTexts DumpTexts(const RegisterValues& values) {
    RegisterTexts texts;
    for (std::size_t a = 0; a < values.size(); ++a)
        texts[a] = HexByte(values[a]);
    return texts;
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

DumpLineReading ReadDumpLine(std::string_view line) {
    constexpr std::string_view kMarker = ": 0x";
    DumpLineReading r;
    const std::size_t at = line.rfind(kMarker);
    if (at == std::string_view::npos) {
        r.problem = "it has no \": 0x\" before a register value";
        return r;
    }
    const std::string_view field = line.substr(at + kMarker.size());
    const auto digits = std::count_if(field.begin(), field.end(), IsHexDigit);
    if (field.size() <= 2 && digits == 0) return r; // never read when saved: no value
    if (field.size() == 2 && digits == 2) {
        r.value = static_cast<std::uint8_t>(ParseHexLenient(field));
        return r;
    }
    r.problem = "the value " + quoted(field) + " after \": 0x\" is not two hexadecimal digits";
    return r;
}

int DumpParseResult::skipped() const {
    if (!values) return 0;
    return static_cast<int>(std::count(values->begin(), values->end(), std::nullopt));
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
    DumpValues values{};
    for (int a = 0; a < kAfeRegisterCount; ++a) {
        const int index = kDumpHeaderLines + a;
        const DumpLineReading line = ReadDumpLine(lines[static_cast<std::size_t>(index)]);
        if (!line.problem.empty()) {
            result.line = index + 1;
            result.error = "line " + std::to_string(index + 1) + " (register 0x" +
                           HexByte(static_cast<std::uint8_t>(a)) + "): " + line.problem;
            return result;
        }
        values[static_cast<std::size_t>(a)] = line.value;
    }
    result.values = values;
    return result;
}

std::string SkippedRegistersText(int skipped) {
    return std::to_string(skipped) + (skipped == 1 ? " register was" : " registers were") +
           " left as " + (skipped == 1 ? "it was: its line holds" : "they were: their lines hold") +
           " no value (not read before the file was saved)";
}

DumpParseResult ReadDumpFile(const std::string& path) {
    namespace fs = std::filesystem;
    DumpParseResult result;
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (!fs::exists(st)) {
        result.error = "the file does not exist";
        return result;
    }
    if (!fs::is_regular_file(st)) {
        result.error = "it is not a file";
        return result;
    }
    const std::uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > kDumpMaxBytes) {
        result.error =
            "it is " + std::to_string(size) + " bytes long, far more than a register dump";
        return result;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        result.error = std::strerror(errno);
        return result;
    }
    std::string content(std::istreambuf_iterator<char>(in), {});
    if (in.bad()) {
        result.error = "it could not be read";
        return result;
    }
    return ParseDump(content);
}

std::string WriteFileAtomically(const std::string& path, std::string_view content) {
    namespace fs = std::filesystem;
    static std::atomic<unsigned> counter{0};
    // A symbolic link keeps pointing where it did: the file it names is replaced.
    std::error_code ec;
    fs::path target(path);
    if (fs::is_symlink(target, ec))
        if (const fs::path real = fs::canonical(target, ec); !ec) target = real;
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode)) return "it is a folder";

    // The temporary file sits beside the target, so that the rename never crosses file
    // systems; a new file gets the usual permissions (0666 less the umask).
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temp = (target.parent_path() /
                ("." + target.filename().string() + "." + std::to_string(::getpid()) + "." +
                 std::to_string(counter++) + ".tmp"))
                   .string();
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt > 100)) return std::strerror(errno);
    }
    std::FILE* file = ::fdopen(fd, "wb");
    const auto fail = [&](int error) {
        if (file)
            std::fclose(file);
        else
            ::close(fd);
        ::unlink(temp.c_str());
        return std::string(std::strerror(error));
    };
    if (!file) return fail(errno);
    if (std::fwrite(content.data(), 1, content.size(), file) != content.size()) return fail(errno);
    // The buffered end of the content is written here: a full disk shows now or never.
    if (std::fflush(file) != 0) return fail(errno);
    if (exists) ::fchmod(fd, old.st_mode & 07777);
    if (::fsync(fd) != 0) return fail(errno);
    const int closed = std::fclose(file);
    file = nullptr;
    fd = -1;
    if (closed != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return std::strerror(error);
    }
    if (std::rename(temp.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return std::strerror(error);
    }
    // The new name reaches the disk with its folder; a failure here loses nothing written.
    const std::string folder = target.parent_path().empty() ? "." : target.parent_path().string();
    if (const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return {};
}

} // namespace korva
