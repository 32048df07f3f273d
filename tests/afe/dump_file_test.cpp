// The register dump file format: what the writer produces and how the reader takes it.
#include "afe/afe_ops.h"
#include "afe/dump_file.h"
#include "support/board_rig.h"

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

TEST(DumpFormat, HeaderNamesAndBoxTextsVerbatimOnCrLfLines) {
    RegisterTexts t;
    t.fill("00");
    t[0] = "31";
    t[0x22] = "10";
    // Box texts as they stand; a line break would shift every later register: it is a blank.
    t[3] = "", t[4] = "  ", t[5] = "a", t[6] = "1\r\n";
    const std::string out = FormatDump(t, false);
    const auto lines = SplitDumpLines(out);
    ASSERT_EQ(lines.size(), 68u);
    std::string joined; // every line ends in CR LF, and nothing else breaks a line
    for (const std::string& line : lines)
        joined += line + "\r\n";
    EXPECT_EQ(out, joined);
    const std::pair<int, const char*> expected[] = {
        {0, "//KORVA726EVAL Register Dump"},  {1, "//"},
        {2, "ID and Revision (0x00) : 0x31"}, {2 + 3, "HSYNC Slicer (0x03): 0x"},
        {2 + 4, "SOG Slicer (0x04): 0x  "},   {2 + 5, "Input Config (0x05): 0xa"},
        {2 + 6, "Red Gain (0x06): 0x1  "},    {2 + 0x22, "DC Restore Clamp 1 (0x22) : 0x10"}};
    for (const auto& [line, text] : expected)
        EXPECT_EQ(lines[line], text);
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

// Whole files: the values they give, or why they are refused whole.
TEST(DumpRead, FilesGiveEveryValueOrAreRefusedWhole) {
    RegisterValues v{};
    DumpValues ramp{}; // what dumpWith() holds, and v as the writer writes it
    for (int a = 0; a < kAfeRegisterCount; ++a)
        ramp[a] = v[a] = static_cast<std::uint8_t>(a * 7 + 3);
    const std::string crlf = dumpWith("\r\n");
    std::string readme = "# README\n\n";
    for (int i = 0; i < 80; ++i)
        readme += "Some text, line " + std::to_string(i) + "\n";
    const struct {
        std::string text;
        std::optional<DumpValues> values;
        const char* error;
    } cases[] = {
        {FormatDump(DumpTexts(v), false), ramp, ""},
        {FormatDump(DumpTexts(v), true), ramp, ""},
        {crlf, ramp, ""},
        {dumpWith("\n"), ramp, ""},
        {dumpWith("\r"), ramp, ""},
        {crlf.substr(0, crlf.size() - 2), ramp, ""}, // no line end after the last line
        {crlf + "garbage: 0x55\r\n\x80\xE9\r\n", ramp, ""},
        {"\t//\xE9\r\n" + crlf.substr(8), ramp, ""}, // tabs and 8-bit code page bytes are text
        {dumpWith("\r\n", 40), {}, "42 lines"},
        {dumpWith("\r\n", 65), {}, "67 lines"},
        {"", {}, "0 lines"},
        {crlf.substr(0, 100) + '\0' + crlf.substr(101), {}, "not a text file"},
        {crlf + "\x01\x02", {}, "not a text file"}, // even past line 68
        {"\r\n" + crlf, {}, "line 3 (register 0x00): it has no \": 0x\""},
        {crlf.substr(0, crlf.size() - 3), {}, "line 68 (register 0x41): the value \"C\""},
        {readme, {}, "line 3 (register 0x00)"},
    };
    for (const auto& c : cases) {
        const auto r = ParseDump(c.text);
        EXPECT_EQ(r.values, c.values) << c.error << r.error;
        EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
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

TEST(DumpLoad, WritingStopsAtTheFirstReportedFailure) {
    test::BoardRig r;
    DumpValues values;
    values.fill(0x11);
    r.sim.timeOutTransfer(9); // the packet of register 0x04 (two transfers per exchange)
    EXPECT_FALSE(WriteDumpValues(r.board, values));
    EXPECT_EQ(r.sent().size(), 4u); // registers 0x00..0x03, nothing after the failure
    EXPECT_EQ(r.sink.codes.size(), 1u);
}
