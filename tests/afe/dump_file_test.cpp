// The register dump file format: what the writer produces and how the reader takes it.
#include "afe/dump_file.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace korva;

namespace {

// Two header lines and `registerLines` register lines, register k's ending in 7k+3.
std::string dumpWith(const std::string& eol, int registerLines = kAfeRegisterCount) {
    std::string s = "//head" + eol + "//" + eol;
    for (int a = 0; a < registerLines; ++a) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "reg %d: 0x%02X", a, (a * 7 + 3) & 0xFF);
        s += buf + eol;
    }
    return s;
}

} // namespace

TEST(DumpFormat, HeaderNamesAndCrLfLineEnds) {
    RegisterTexts t;
    t.fill("00");
    t[0] = "31";
    t[0x22] = "10";
    const std::string out = FormatDump(t, false);
    ASSERT_EQ(SplitDumpLines(out).size(), 68u);
    std::size_t crlf = 0; // every line ends in CR LF, and nothing else breaks a line
    for (std::size_t p = out.find("\r\n"); p != std::string::npos; p = out.find("\r\n", p + 2))
        ++crlf;
    EXPECT_EQ(crlf, 68u);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 68);
    const auto lines = SplitDumpLines(out);
    EXPECT_EQ(lines[0], "//KORVA726EVAL Register Dump");
    EXPECT_EQ(lines[1], "//");
    EXPECT_EQ(lines[2], "ID and Revision (0x00) : 0x31");
    EXPECT_EQ(lines[2 + 0x20], "Test Register (0x20): 0x00");
    EXPECT_EQ(lines[2 + 0x22], "DC Restore Clamp 1 (0x22) : 0x10");
    EXPECT_EQ(SplitDumpLines(FormatDump(t, true))[2 + 0x20], "AFE Control (0x20): 0x00");
}

TEST(DumpFormat, BoxTextIsWrittenVerbatimExceptLineBreaks) {
    const std::string name = DumpName(5, false);
    EXPECT_EQ(DumpLine(0x05, "", false), name + ": 0x");
    EXPECT_EQ(DumpLine(0x05, "  ", false), name + ": 0x  ");
    EXPECT_EQ(DumpLine(0x05, "a", false), name + ": 0xa");
    // A line break in a box would shift every later register; it is written as a blank.
    EXPECT_EQ(DumpLine(0x05, "1\r\n", false), name + ": 0x1  ");
}

TEST(DumpRead, RegisterLineIsColonHexAndTheValueField) {
    struct Case {
        const char* line;
        int value; // -1: no value (register left alone)
        const char* problem;
    };
    const Case cases[] = {
        {"Anything at all: 0x7F", 0x7F, ""},
        {"Red Gain (0x06): 0xa0", 0xA0, ""},
        {"Input Config (0x05): 0x", -1, ""},   // never read when saved
        {"Input Config (0x05): 0x  ", -1, ""}, // two blanks
        {"Input Config (0x05): 0x7F ", -1, "not two hexadecimal digits"},
        {"Hsync Mask Ctrl (0x41): 0x4", -1, "not two hexadecimal digits"}, // cut off
        {"x: 0x3g", -1, "not two hexadecimal digits"},
        {"Red Gain (0x06) 0x80", -1, "no \": 0x\""},
        {"", -1, "no \": 0x\""}};
    for (const Case& c : cases) {
        const DumpLineReading r = ReadDumpLine(c.line);
        EXPECT_EQ(r.value ? int(*r.value) : -1, c.value) << c.line;
        EXPECT_NE(r.problem.find(c.problem), std::string::npos) << c.line << ": " << r.problem;
        EXPECT_EQ(r.problem.empty(), *c.problem == '\0') << c.line;
    }
}

TEST(DumpRead, EveryValueRoundTripsWithEitherNaming) {
    RegisterValues v{};
    DumpValues expected{};
    for (int a = 0; a < kAfeRegisterCount; ++a)
        expected[a] = v[a] = static_cast<std::uint8_t>(0xFF - a * 3);
    for (bool flag : {false, true}) {
        const auto r = ParseDump(FormatDump(DumpTexts(v), flag));
        ASSERT_TRUE(r.values) << r.error;
        EXPECT_EQ(*r.values, expected);
    }
}

TEST(DumpRead, LineEndsOfEveryKindAndExtraLines) {
    const auto expected = ParseDump(dumpWith("\r\n"));
    ASSERT_TRUE(expected.values);
    EXPECT_EQ((*expected.values)[0x41], (0x41 * 7 + 3) & 0xFF);
    std::string noLastEnd = dumpWith("\r\n");
    noLastEnd.resize(noLastEnd.size() - 2);
    for (const std::string& text :
         {dumpWith("\n"), dumpWith("\r"), noLastEnd,
          dumpWith("\r\n") + "garbage: 0x55\r\n\x80\xE9\r\n",
          "\t//\xE9\r\n" + dumpWith("\r\n").substr(8)}) // tabs and 8-bit code page bytes are text
        EXPECT_EQ(ParseDump(text).values, expected.values) << ParseDump(text).error;
}

TEST(DumpRead, FilesOfAnotherShapeAreRefusedWhole) {
    std::string withNul = dumpWith("\r\n");
    withNul[100] = '\0';
    std::string cut = dumpWith("\r\n");
    cut.resize(cut.size() - 3); // inside the last value
    std::string readme = "# README\n\n";
    for (int i = 0; i < 80; ++i)
        readme += "Some text, line " + std::to_string(i) + "\n";
    const std::pair<std::string, const char*> cases[] = {
        {dumpWith("\r\n", 40), "42 lines"},
        {dumpWith("\r\n", 65), "67 lines"},
        {"", "0 lines"},
        {withNul, "not a text file"},
        {dumpWith("\r\n") + "\x01\x02", "not a text file"}, // even past line 68
        {"\r\n" + dumpWith("\r\n"), "line 3 (register 0x00): it has no \": 0x\""},
        {cut, "line 68 (register 0x41): the value \"C\""},
        {readme, "line 3 (register 0x00)"}};
    for (const auto& [text, why] : cases) {
        const auto r = ParseDump(text);
        EXPECT_FALSE(r.values) << why;
        EXPECT_NE(r.error.find(why), std::string::npos) << r.error;
    }
}

TEST(DumpSave, FullDiskLeavesTheOldFileAndNoTemporaryFile) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("korva-save-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "regs.txt").string();
    std::ofstream(path) << "old";
    const auto contents = [&] {
        std::stringstream ss;
        ss << std::ifstream(path).rdbuf();
        return ss.str();
    };
    const std::string dump = FormatDump(DumpTexts(RegisterValues{}), false);
    // A file size limit below the dump's size makes the write fail as a full disk does,
    // in a child process so that the limit stays there.
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_IGN);
        ::_exit(WriteFileAtomically(path, dump) == std::strerror(EFBIG) ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0) << "the failed write was not reported";
    EXPECT_EQ(contents(), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    EXPECT_EQ(WriteFileAtomically(path, dump), "");
    EXPECT_EQ(contents(), dump);
    fs::remove_all(dir);
}
