// The register dump file format: what the writer produces and how the reader takes it.
#include "afe/dump_file.h"

#include <gtest/gtest.h>

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

TEST(DumpRead, ValueIsTheLastTwoCharactersReadLeniently) {
    const std::pair<const char*, int> cases[] = {
        {"Anything at all: 0x7F", 0x7F},
        {"Input Config (0x05): 0x", 0x00},    // empty box
        {"Input Config (0x05): 0x  ", 0x00},  // two blanks
        {"Input Config (0x05): 0x7F ", 0x0F}, // blank after: "F " reads F
        {"x: 0xA", 0x00},                     // "xA": no digit before x
        {"x: 0x3g", 0x03},                    // digits up to the first other
        {"ff", 0xFF},
        {"C", 0x0C}, // shorter than two: all of it
        {"", 0x00}};
    for (auto [line, value] : cases)
        EXPECT_EQ(DumpLineValue(line), value) << line;
}

TEST(DumpRead, EveryValueRoundTripsWithEitherNaming) {
    RegisterValues v{};
    RegisterTexts t;
    for (int a = 0; a < kAfeRegisterCount; ++a) {
        v[a] = static_cast<std::uint8_t>(0xFF - a * 3);
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02X", v[a]);
        t[a] = buf;
    }
    for (bool flag : {false, true}) {
        const auto r = ParseDump(FormatDump(t, flag));
        ASSERT_TRUE(r.values) << r.error;
        EXPECT_EQ(*r.values, v);
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

TEST(DumpRead, ShortOrBinaryFilesAreRefusedWhole) {
    std::string withNul = dumpWith("\r\n");
    withNul[100] = '\0';
    const std::pair<std::string, const char*> cases[] = {
        {dumpWith("\r\n", 40), "42 lines"},
        {dumpWith("\r\n", 65), "67 lines"},
        {"", "0 lines"},
        {withNul, "not a text file"},
        {dumpWith("\r\n") + "\x01\x02", "not a text file"}}; // even past line 68
    for (const auto& [text, why] : cases) {
        const auto r = ParseDump(text);
        EXPECT_FALSE(r.values) << why;
        EXPECT_NE(r.error.find(why), std::string::npos) << r.error;
    }
}
