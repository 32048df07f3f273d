// The register dump file format: what the writer produces and how the reader takes it.
#include "afe/dump_file.h"
#include "device/textnum.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>

using namespace korva;
using namespace std::string_literals;

namespace {

// Two header lines and `registerLines` register lines, register k's ending in 7k+3.
std::string dumpWith(const std::string& eol, int registerLines = kAfeRegisterCount) {
    std::string s = "//head" + eol + "//" + eol;
    for (int a = 0; a < registerLines; ++a)
        s += "reg " + std::to_string(a) + ": 0x" + HexByte(std::uint8_t(a * 7 + 3)) + eol;
    return s;
}

} // namespace

TEST(DumpFormat, HeaderNamesAndBoxTextsVerbatimOnCrLfLines) {
    RegisterTexts t;
    t.fill("00");
    // Box texts as they stand; a line break would shift every later register: it is a blank.
    t[0] = "31", t[0x22] = "10", t[3] = "", t[4] = "  ", t[5] = "a", t[6] = "1\r\n";
    const std::string out = FormatDump(t, false);
    const auto lines = SplitDumpLines(out);
    ASSERT_EQ(lines.size(), 68u);
    // Every line ends in CR LF, and nothing else breaks a line.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\r') + std::count(out.begin(), out.end(), '\n'),
              136);
    const std::pair<int, const char*> expected[] = {
        {0, "//KORVA726EVAL Register Dump"},  {1, "//"},
        {2, "ID and Revision (0x00) : 0x31"}, {2 + 3, "HSYNC Slicer (0x03): 0x"},
        {2 + 4, "SOG Slicer (0x04): 0x  "},   {2 + 5, "Input Config (0x05): 0xa"},
        {2 + 6, "Red Gain (0x06): 0x1  "},    {2 + 0x22, "DC Restore Clamp 1 (0x22) : 0x10"}};
    for (const auto& [line, text] : expected)
        EXPECT_EQ(lines[line], text);
}

TEST(DumpRead, RegisterLineIsColonHexAndTheValueField) {
    const std::tuple<const char*, int, const char*> cases[] = {
        // line, value (-1: none), problem
        {"Anything at all: 0x7F", 0x7F, ""},
        {"Red Gain (0x06): 0xa0", 0xA0, ""},
        {"Input Config (0x05): 0x", -1, ""},   // never read when saved
        {"Input Config (0x05): 0x  ", -1, ""}, // two blanks
        {"Input Config (0x05): 0x7F ", -1, "not two hexadecimal digits"},
        {"Hsync Mask Ctrl (0x41): 0x4", -1, "not two hexadecimal digits"}, // cut off
        {"x: 0x3g", -1, "not two hexadecimal digits"},
        {"x: 0xZZ", -1, "the value \"ZZ\""}, // no digit at all is damage, not "unread"
        {"x: 0x-", -1, "not two hexadecimal digits"},
        {"x: 0x\t ", -1, ""},
        {"Red Gain (0x06) 0x80", -1, "no \": 0x\""},
        {"", -1, "no \": 0x\""}};
    for (const auto& [line, value, problem] : cases) {
        const DumpLineReading r = ReadDumpLine(line);
        EXPECT_EQ(r.value ? int(*r.value) : -1, value) << line;
        EXPECT_NE(r.problem.find(problem), std::string::npos) << line << ": " << r.problem;
        EXPECT_EQ(r.problem.empty(), *problem == '\0') << line;
    }
}

// Whole files: the values they give, or why they are refused whole.
TEST(DumpRead, FilesGiveEveryValueOrAreRefusedWhole) {
    RegisterValues v{};
    DumpValues ramp{}; // what dumpWith() holds, and v as the writer writes it
    for (int a = 0; a < kAfeRegisterCount; ++a)
        ramp[a] = v[a] = static_cast<std::uint8_t>(a * 7 + 3);
    const std::string crlf = dumpWith("\r\n");
    const std::pair<std::string, const char*> cases[] = {
        // text, error ("": the ramp)
        {FormatDump(DumpTexts(v), true), ""},
        {crlf, ""},
        {dumpWith("\n"), ""},
        {dumpWith("\r"), ""},
        {crlf.substr(0, crlf.size() - 2), ""}, // no line end after the last line
        {crlf + "garbage: 0x55\r\n\x80\xE9\r\n", ""},
        {"\t//\xE9\r\n" + crlf.substr(8), ""}, // tabs and 8-bit code page bytes are text
        {dumpWith("\r\n", 65), "67 lines"},
        {"", "0 lines"},
        {crlf.substr(0, 100) + '\0' + crlf.substr(101), "not a text file"},
        {crlf + "\x01\x02", "not a text file"}, // even past line 68
        {"\r\n" + crlf, "line 3 (register 0x00): it has no \": 0x\""},
        {crlf.substr(0, crlf.size() - 3), "line 68 (register 0x41): the value \"C\""},
    };
    for (const auto& [text, error] : cases) {
        const auto r = ParseDump(text);
        EXPECT_EQ(r.values, *error ? std::nullopt : std::optional(ramp)) << error << r.error;
        EXPECT_NE(r.error.find(error), std::string::npos) << r.error;
    }
}

// Saving over what is there: a full disk (past a file size limit) leaves the old file; a
// symbolic link keeps pointing where it did (a dangling one gets its file); a file with a
// second name, or whose owner this process may not give, is rewritten in place; owner,
// group and mode stay. Temporary files that a killed save left are removed once their
// process is gone, and no other file.
TEST(DumpSave, FullDiskLinksOwnerAndModeAndWhatAKilledSaveLeft) {
    namespace fs = std::filesystem;
    struct Row {
        bool link;        // saved through "l.txt", a symbolic link to "sub/f.txt"
        bool exists;      // sub/f.txt holds "old", mode 0640
        bool hardLink;    // sub/f.txt also has the name sub/h.txt
        bool nobody;      // sub/f.txt belongs to nobody (needs root)
        bool mayNotChown; // the process may not give files away (needs root)
        rlim_t limit;     // file size limit during the save, 0 = none
        bool inPlace;     // sub/f.txt keeps its inode (rewritten in place, or untouched)
    };
    const Row rows[] = {{false, true, false, false, false, 2, true},  // a full disk
                        {false, true, false, false, false, 0, false}, // replaced
                        {true, true, false, false, false, 0, false},  // a live link
                        {true, false, false, false, false, 0, false}, // a dangling link
                        {false, true, true, false, false, 0, true},   // a hard link
                        {false, true, false, true, false, 0, false},  // an owner kept
                        {false, true, false, true, true, 0, true}};   // an owner not given
    const passwd* nobody = ::getpwnam("nobody");
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const pid_t gone = ::fork(); // a process id nobody uses any more
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const auto tempOf = [&](const std::string& machine, pid_t pid) {
        return ".f.txt.korva726-save." + machine + "." + std::to_string(pid) + ".0.tmp";
    };
    const std::string kept[] = {tempOf(host, ::getppid()), tempOf("elsewhere", gone)};
    const std::string dump = FormatDump(DumpTexts({}), false);
    int skipped = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE("row " + std::to_string(&r - rows));
        if (r.nobody && (::geteuid() != 0 || !nobody)) {
            ++skipped;
            continue;
        }
        const test::TempDir dir;
        const std::string file = dir / "sub/f.txt";
        fs::create_directory(dir / "sub");
        std::set<std::string> names = {"f.txt", kept[0], kept[1]};
        for (const auto& t : {kept[0], kept[1], tempOf(host, gone)})
            test::writeFile(dir / ("sub/" + t), "left"s);
        if (r.link) fs::create_symlink("sub/f.txt", dir / "l.txt");
        struct stat before {};
        if (r.exists) {
            test::writeFile(file, "old"s);
            ::chmod(file.c_str(), 0640);
            ASSERT_EQ(r.nobody ? ::chown(file.c_str(), nobody->pw_uid, nobody->pw_gid) : 0, 0);
            ::stat(file.c_str(), &before);
        }
        if (r.hardLink) fs::create_hard_link(file, dir / "sub/h.txt"), names.insert("h.txt");
        // The save runs under the size limit, or without the right to give files away.
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{}, saved[2]{};
        ::syscall(SYS_capget, &header, saved);
        std::copy(saved, saved + 2, caps);
        caps[0].effective &= r.mayNotChown ? ~(1u << CAP_CHOWN) : ~0u;
        ::syscall(SYS_capset, &header, caps);
        const std::string error = [&] {
            const test::FileSizeLimit limit(r.limit);
            return WriteFileAtomically(dir / (r.link ? "l.txt" : "sub/f.txt"), dump);
        }();
        ::syscall(SYS_capset, &header, saved);

        EXPECT_EQ(error, r.limit ? std::strerror(EFBIG) : "");
        struct stat after {};
        std::error_code ec;
        EXPECT_EQ(::stat(file.c_str(), &after), 0);
        EXPECT_EQ(test::slurp(file), r.limit ? "old" : dump);
        EXPECT_EQ(r.link ? fs::read_symlink(dir / "l.txt", ec).string() : "",
                  r.link ? "sub/f.txt" : "");
        EXPECT_EQ(r.hardLink ? test::slurp(dir / "sub/h.txt") : dump, dump);
        const auto now = std::tuple(after.st_ino == before.st_ino || r.limit, after.st_uid,
                                    after.st_gid, after.st_mode & 07777);
        EXPECT_EQ(now, r.exists
                           ? std::tuple(r.inPlace || r.limit, before.st_uid, before.st_gid, 0640u)
                           : now);
        std::set<std::string> left;
        for (const auto& e : fs::directory_iterator(dir / "sub"))
            left.insert(e.path().filename().string());
        EXPECT_EQ(left, names);
    }
    // A FIFO (or a device) is written to, never replaced by a file.
    const test::TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const int reader = ::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(WriteFileAtomically(dir / "fifo", "new"), "");
    char got[8] = {};
    EXPECT_TRUE(::read(reader, got, sizeof got) == 3 && got == "new"s && fs::is_fifo(dir / "fifo"));
    ::close(reader);
    if (skipped > 0)
        GTEST_SKIP() << skipped << " rows need root (a file given to user nobody): not run";
}
