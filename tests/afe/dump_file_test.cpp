// The register dump file format: what the writer produces and how the reader takes it.
#include "afe/dump_file.h"

#include <gtest/gtest.h>

using namespace korva;

namespace {

RegisterTexts textsOf(const RegisterValues& v) {
    RegisterTexts t;
    for (int a = 0; a < kAfeRegisterCount; ++a) {
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02X", v[static_cast<std::size_t>(a)]);
        t[static_cast<std::size_t>(a)] = buf;
    }
    return t;
}

// 68 lines joined with the given line end, register k's line ending in `value(k)`.
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

TEST(DumpFormat, HeaderLinesNamesAndLineEnds) {
    RegisterTexts t;
    t.fill("00");
    t[0] = "31";
    t[0x20] = "04";
    t[0x22] = "10";
    const std::string out = FormatDump(t, false);
    const auto lines = SplitDumpLines(out);
    ASSERT_EQ(lines.size(), 68u);
    // Every line ends with CR LF, and nothing else breaks a line.
    std::size_t crlf = 0;
    for (std::size_t p = out.find("\r\n"); p != std::string::npos; p = out.find("\r\n", p + 2))
        ++crlf;
    EXPECT_EQ(crlf, 68u);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 68);
    EXPECT_EQ(out.substr(out.size() - 2), "\r\n");

    EXPECT_EQ(lines[0], "//KORVA726EVAL Register Dump");
    EXPECT_EQ(lines[1], "//");
    EXPECT_EQ(lines[2], "ID and Revision (0x00) : 0x31");
    EXPECT_EQ(lines[2 + 0x20], "Test Register (0x20): 0x04");
    EXPECT_EQ(lines[2 + 0x22], "DC Restore Clamp 1 (0x22) : 0x10");
    EXPECT_EQ(lines[2 + 0x41], "Test Register (0x41): 0x00");

    const auto named = SplitDumpLines(FormatDump(t, true));
    EXPECT_EQ(named[2 + 0x20].rfind("AFE Control (0x20)", 0), 0u) << named[2 + 0x20];
    for (int a = 0; a < kAfeRegisterCount; ++a)
        EXPECT_EQ(named[static_cast<std::size_t>(2 + a)],
                  DumpName(a, true) + ": 0x" + t[static_cast<std::size_t>(a)]);
}

TEST(DumpFormat, BoxTextIsWrittenVerbatimExceptLineBreaks) {
    EXPECT_EQ(DumpLine(0x05, "", false), DumpName(5, false) + ": 0x");
    EXPECT_EQ(DumpLine(0x05, "  ", false), DumpName(5, false) + ": 0x  ");
    EXPECT_EQ(DumpLine(0x05, "a", false), DumpName(5, false) + ": 0xa");
    // A line break in a box would shift every later register; it is written as a blank.
    EXPECT_EQ(DumpLine(0x05, "1\r\n", false), DumpName(5, false) + ": 0x1  ");
    RegisterTexts t;
    t.fill("7F");
    t[3] = "A\nB";
    EXPECT_EQ(SplitDumpLines(FormatDump(t, false)).size(), 68u);
}

TEST(DumpRead, ValueIsTheLastTwoCharactersReadLeniently) {
    EXPECT_EQ(DumpLineValue("Anything at all: 0x7F"), 0x7F);
    EXPECT_EQ(DumpLineValue("Input Config (0x05): 0x"), 0x00);    // empty box
    EXPECT_EQ(DumpLineValue("Input Config (0x05): 0x  "), 0x00);  // two blanks
    EXPECT_EQ(DumpLineValue("Input Config (0x05): 0x7F "), 0x0F); // blank after: "F " reads F
    EXPECT_EQ(DumpLineValue("x: 0xA"), 0x00);                     // "xA": no digit before x
    EXPECT_EQ(DumpLineValue("x: 0x3g"), 0x03);                    // digits up to the first other
    EXPECT_EQ(DumpLineValue("ff"), 0xFF);
    EXPECT_EQ(DumpLineValue("C"), 0x0C); // shorter than two: all of it
    EXPECT_EQ(DumpLineValue(""), 0x00);
}

TEST(DumpRead, RoundTripOfEveryValue) {
    RegisterValues v{};
    for (int a = 0; a < kAfeRegisterCount; ++a)
        v[static_cast<std::size_t>(a)] = static_cast<std::uint8_t>(0xFF - a * 3);
    for (bool flag : {false, true}) {
        const auto r = ParseDump(FormatDump(textsOf(v), flag));
        ASSERT_TRUE(r.values) << r.error;
        EXPECT_EQ(*r.values, v);
    }
}

TEST(DumpRead, LineEndsOfEveryKindAndOnlyLineOrderCounts) {
    const auto expected = ParseDump(dumpWith("\r\n"));
    ASSERT_TRUE(expected.values);
    EXPECT_EQ((*expected.values)[0], 0x03);
    EXPECT_EQ((*expected.values)[0x41], (0x41 * 7 + 3) & 0xFF);
    for (const char* eol : {"\n", "\r"}) {
        const auto r = ParseDump(dumpWith(eol));
        ASSERT_TRUE(r.values) << r.error;
        EXPECT_EQ(*r.values, *expected.values);
    }
    // Last line without a line end, and extra lines after line 68.
    std::string s = dumpWith("\r\n");
    s.resize(s.size() - 2);
    EXPECT_EQ(ParseDump(s).values, expected.values);
    EXPECT_EQ(ParseDump(dumpWith("\r\n") + "garbage: 0x55\r\n\x80\xE9\r\n").values,
              expected.values);

    // Swapping two lines swaps the registers they load into, whatever the names say.
    auto lines = SplitDumpLines(FormatDump(textsOf(*expected.values), false));
    std::swap(lines[2 + 4], lines[2 + 9]);
    std::string swapped;
    for (const auto& l : lines)
        swapped += l + "\r\n";
    const auto r = ParseDump(swapped);
    ASSERT_TRUE(r.values);
    EXPECT_EQ((*r.values)[4], (*expected.values)[9]);
    EXPECT_EQ((*r.values)[9], (*expected.values)[4]);
}

TEST(DumpRead, ShortOrBinaryFilesAreRefusedWhole) {
    auto r = ParseDump(dumpWith("\r\n", 40));
    EXPECT_FALSE(r.values);
    EXPECT_NE(r.error.find("42 lines"), std::string::npos) << r.error;
    EXPECT_FALSE(ParseDump(dumpWith("\r\n", 65)).values);
    EXPECT_NE(ParseDump("").error.find("0 lines"), std::string::npos);

    std::string withNul = dumpWith("\r\n");
    withNul[100] = '\0';
    r = ParseDump(withNul);
    EXPECT_FALSE(r.values);
    EXPECT_NE(r.error.find("not a text file"), std::string::npos) << r.error;
    // Also a control byte past line 68 makes the file not a dump.
    EXPECT_FALSE(ParseDump(dumpWith("\r\n") + "\x01\x02").values);
    // Tabs and bytes of the 8-bit code page are text.
    EXPECT_TRUE(ParseDump("\t//\xE9\r\n" + dumpWith("\r\n").substr(8)).values);
}
