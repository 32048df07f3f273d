#include "dump_file.h"

#include "device/textnum.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
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
    // A box never read saves as nothing or as blanks: no value. Anything else that is not
    // two hex digits is damage, never a register to skip.
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    if (field.size() <= 2 && std::all_of(field.begin(), field.end(), blank)) return r;
    if (field.size() == 2 && std::all_of(field.begin(), field.end(), IsHexDigit)) {
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

std::vector<RegisterDifference> DumpDifferences(const RegisterValues& board,
                                                const DumpValues& file) {
    std::vector<RegisterDifference> differ;
    for (std::size_t a = 0; a < file.size(); ++a)
        if (file[a] && *file[a] != board[a])
            differ.push_back({static_cast<int>(a), board[a], *file[a]});
    return differ;
}

std::string SkippedRegistersText(int skipped) {
    return std::to_string(skipped) + (skipped == 1 ? " register was" : " registers were") +
           " left as " + (skipped == 1 ? "it was: its line holds" : "they were: their lines hold") +
           " no value (not read before the file was saved)";
}

std::string NotComparedText(int skipped) {
    return std::to_string(skipped) + (skipped == 1 ? " register was" : " registers were") +
           " not compared: " + (skipped == 1 ? "its line holds" : "their lines hold") + " no value";
}

DumpParseResult ReadDumpFile(const std::string& path) {
    namespace fs = std::filesystem;
    DumpParseResult result;
    // A NUL would end the name where the system reads it: another file than the one named.
    if (path.find('\0') != std::string::npos) {
        result.error = "the file name holds a NUL byte";
        return result;
    }
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

namespace {

namespace fs = std::filesystem;

// Temporary files of a save are named ".<file>.korva726-save.<host>.<pid>.<n>.tmp": hidden,
// recognisable, and carrying the process that made them, so that a later save can tell
// one left by a killed process from one being written now.
constexpr std::string_view kTempMark = ".korva726-save.";
constexpr std::string_view kTempEnd = ".tmp";

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    std::string host = name;
    std::replace(host.begin(), host.end(), '/', '_');
    return host;
}

// The process that made a temporary file of a save on this host; nothing for any other name.
std::optional<pid_t> tempFileOwner(std::string_view name, std::string_view host) {
    if (name.size() <= kTempEnd.size() || name.front() != '.' ||
        name.substr(name.size() - kTempEnd.size()) != kTempEnd)
        return std::nullopt;
    name.remove_suffix(kTempEnd.size());
    const std::size_t lastDot = name.rfind('.');
    if (lastDot == std::string_view::npos || lastDot == 0) return std::nullopt;
    const std::size_t pidDot = name.rfind('.', lastDot - 1);
    if (pidDot == std::string_view::npos || pidDot < kTempMark.size()) return std::nullopt;
    const std::size_t mark = name.rfind(kTempMark, pidDot - kTempMark.size() + 1);
    if (mark == std::string_view::npos ||
        name.substr(mark + kTempMark.size(), pidDot + 1 - mark - kTempMark.size()) !=
            std::string(host) + ".")
        return std::nullopt;
    const std::string_view digits = name.substr(pidDot + 1, lastDot - pidDot - 1);
    pid_t pid = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || pid > 99999999) return std::nullopt;
        pid = pid * 10 + (c - '0');
    }
    return digits.empty() || pid <= 0 ? std::nullopt : std::optional(pid);
}

// Removes the temporary files that saves into `folder` left when their process was killed.
// A file whose process still runs (or may: its id was taken again) is left alone.
void removeAbandonedTempFiles(const fs::path& folder) {
    const std::string host = hostName();
    std::error_code ec;
    for (fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, ec), end;
         !ec && it != end; it.increment(ec)) {
        const auto pid = tempFileOwner(it->path().filename().string(), host);
        if (!pid || *pid == ::getpid() || ::kill(*pid, 0) == 0 || errno != ESRCH) continue;
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode))
            ::unlink(it->path().c_str());
    }
}

// The file a save into `path` writes: `path` itself, or where its symbolic links lead. That
// file need not exist: a dangling link's target is created and the link kept.
std::optional<fs::path> followLinks(fs::path path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::error_code ec;
        const fs::path to = fs::read_symlink(path, ec);
        if (ec) return std::nullopt;
        path = to.is_absolute() ? to : path.parent_path() / to;
    }
    return std::nullopt; // a loop of links
}

bool writeAll(int fd, std::string_view bytes, int& error) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            error = n == 0 ? EIO : errno;
            return false;
        }
    }
    return true;
}

// The file's own content replaced by `content`, its inode (links, owner, group, mode) kept.
// When a write fails part-way the old content is written back. Empty when written;
// `damaged` is set when the file could be left neither old nor new.
std::string rewriteInPlace(const fs::path& target, std::string_view content, bool& damaged) {
    int fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    const bool readable = fd >= 0;
    if (!readable && errno == EACCES) fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::strerror(errno);
    std::string old;
    int error = 0;
    if (readable) {
        char chunk[8192];
        for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) != 0;) {
            if (n > 0)
                old.append(chunk, static_cast<std::size_t>(n));
            else if (errno != EINTR)
                error = errno;
            if (error != 0) break;
        }
    }
    const auto put = [fd](std::string_view bytes) {
        int e = 0;
        if (::lseek(fd, 0, SEEK_SET) != 0) return errno;
        if (!writeAll(fd, bytes, e)) return e;
        if (::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0 || ::fsync(fd) != 0)
            return errno;
        return 0;
    };
    if (error == 0 && (error = put(content)) != 0) damaged = !readable || put(old) != 0;
    ::close(fd);
    return error != 0 ? std::strerror(error) : std::string();
}

} // namespace

std::string WriteFileAtomically(const std::string& path, std::string_view content) {
    static std::atomic<unsigned> counter{0};
    // A NUL would end the name where the system reads it: another file than the one named.
    if (path.find('\0') != std::string::npos) return "the file name holds a NUL byte";
    // A symbolic link keeps pointing where it did: the file it leads to is written.
    const std::optional<fs::path> found = followLinks(path);
    if (!found) return std::strerror(ELOOP);
    const fs::path& target = *found;
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode)) return "it is a folder";
    // A device or a FIFO is written to as it is, never replaced by a file.
    if (exists && !S_ISREG(old.st_mode)) {
        const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        int error = 0;
        if (fd < 0) return std::strerror(errno);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        const bool written = writeAll(fd, content, error);
        ::close(fd);
        return written ? std::string() : std::strerror(error);
    }
    removeAbandonedTempFiles(target.parent_path());

    // The new content goes to a temporary file beside the target, so that a rename never
    // crosses file systems; a new file gets the usual permissions (0666 less the umask).
    std::string temp;
    int fd = -1;
    const std::string host = hostName();
    for (int attempt = 0; fd < 0; ++attempt) {
        temp = (target.parent_path() / ("." + target.filename().string() + std::string(kTempMark) +
                                        host + "." + std::to_string(::getpid()) + "." +
                                        std::to_string(counter++) + std::string(kTempEnd)))
                   .string();
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt > 100)) return std::strerror(errno);
    }
    const auto fail = [&](int error) {
        ::close(fd);
        ::unlink(temp.c_str());
        return std::string(std::strerror(error));
    };
    // The replacement takes the old file's owner, group and mode before it holds anything.
    // A file with other names (hard links), or whose owner or group this process may not
    // give, is rewritten in place instead, once this whole copy is safely on the disk.
    bool inPlace = exists && old.st_nlink > 1;
    struct stat made {};
    if (exists && ::fstat(fd, &made) == 0 &&
        (made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
        ::fchown(fd, old.st_uid, old.st_gid) != 0)
        inPlace = true;
    if (exists) ::fchmod(fd, old.st_mode & 07777);
    int error = 0;
    if (!writeAll(fd, content, error)) return fail(error);
    if (::fsync(fd) != 0) return fail(errno);
    if (::close(fd) != 0) {
        error = errno;
        ::unlink(temp.c_str());
        return std::strerror(error);
    }
    if (inPlace) {
        bool damaged = false;
        const std::string why = rewriteInPlace(target, content, damaged);
        if (damaged) {
            // Kept under a name of its own, which no later save takes for a leftover.
            const std::string copy = target.string() + ".new";
            const bool moved = ::link(temp.c_str(), copy.c_str()) == 0;
            if (moved) ::unlink(temp.c_str());
            return why + "; the file may be damaged, its new content is kept in " +
                   (moved ? copy : temp);
        }
        ::unlink(temp.c_str());
        return why;
    }
    if (std::rename(temp.c_str(), target.c_str()) != 0) {
        error = errno;
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
