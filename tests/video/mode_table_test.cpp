// The mode table reader, the mode line parser, the table lookup and the shipped table.
#include "video/ini_reader.h"
#include "video/mode_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

using namespace korva;
namespace fs = std::filesystem;

namespace {

// A table text with the given third line and mode lines.
std::string table(const std::string& third, const std::vector<std::string>& modes,
                  const char* eol = "\r\n") {
    std::string t = std::string("header one") + eol + "header two" + eol + third + eol;
    for (const auto& m : modes)
        t += m + eol;
    return t;
}

std::vector<std::string> numberedModes(int n) {
    std::vector<std::string> v;
    for (int i = 0; i < n; ++i)
        v.push_back("M" + std::to_string(i) + "," + std::to_string(i) + ",2,3,4,5;note " +
                    std::to_string(i));
    return v;
}

bool mentions(const std::vector<std::string>& problems, const std::string& what) {
    return std::any_of(problems.begin(), problems.end(),
                       [&](const std::string& p) { return p.find(what) != std::string::npos; });
}

} // namespace

TEST(ModeLineParse, FieldsAreCutAtCommasAndFirstSemicolon) {
    auto m = ParseModeLine("N,1,2,3,4,5;a,b,c");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->name, "N");
    EXPECT_EQ((std::vector<double>{m->hStart, m->hStop, m->vStart, m->vStop, m->pllHtotal}),
              (std::vector<double>{1, 2, 3, 4, 5}));
    // Each field is read as the program reads numbers; an empty field is 0.
    m = ParseModeLine("X, 720,720 px,7 20,,&H5DC;7;8");
    ASSERT_TRUE(m);
    EXPECT_EQ((std::vector<double>{m->hStart, m->hStop, m->vStart, m->vStop, m->pllHtotal}),
              (std::vector<double>{720, 720, 720, 0, 1500}));
    EXPECT_TRUE(ParseModeLine(",,,,,;"));
}

TEST(ModeLineParse, BrokenLinesSayWhy) {
    const std::tuple<const char*, bool, const char*> cases[] = {
        {"X,1,2,3,4;5", false, "comma"}, // four commas
        {"X,1,2,3,4,5", false, "semicolon"},
        {"X,1,2;3,4,5,6", false, "semicolon comes before"},
        {"X,1;2", false, "1 comma"},
        {"X,-1,2,3,4,5;", true, "DE horizontal start -1"}, // parses, but does not fit 16 bits
        {"X,1,2,3,4,65536;", true, "PLL Htotal 65536"},
        {"X,1,1e400,3,4,5;", true, "DE horizontal stop \"1e400\" is too large"}};
    for (auto [line, parses, why] : cases) {
        EXPECT_NE(ModeLineProblem(line).find(why), std::string::npos)
            << line << ": " << ModeLineProblem(line);
        EXPECT_EQ(ParseModeLine(line).has_value(), parses) << line;
    }
    EXPECT_FALSE(ParseModeLine(""));
    EXPECT_EQ(ModeLineProblem("X,0,65535,1,2,3;"), "");
}

TEST(ModeTableRead, CountFromLastTwoCharactersOfLineThree) {
    const ModeTable t = ParseModeTable(table("Number of modes: 12", numberedModes(15)));
    EXPECT_TRUE(t.problems.empty());
    EXPECT_EQ(t.declaredModes, 12);
    ASSERT_EQ(t.lines.size(), 12u); // the thirteenth and later lines are not read
    EXPECT_EQ(t.lines.front(), "M0,0,2,3,4,5;note 0");
    EXPECT_EQ(t.lines.back(), "M11,11,2,3,4,5;note 11");
    EXPECT_EQ(ParseModeTable(table("modes 09", numberedModes(9))).lines.size(), 9u);
    EXPECT_EQ(ParseModeTable(table("3", numberedModes(3))).lines.size(), 3u);
}

TEST(ModeTableRead, LinesAreKeptVerbatimWithEitherLineEnd) {
    const std::vector<std::string> modes = {"A ,1,2,3,4,5; comment, with commas  ",
                                            "B,6,7,8,9,10;"};
    EXPECT_EQ(ParseModeTable(table("n 2", modes)).lines, modes);
    EXPECT_EQ(ParseModeTable(table("n 2", modes, "\n")).lines, modes);
    std::string text = table("n 2", modes);
    text.erase(text.size() - 2); // the last line needs no line end
    const ModeTable t = ParseModeTable(text);
    EXPECT_EQ(t.lines, modes);
    EXPECT_TRUE(t.problems.empty());
}

// Each damaged file gives a problem naming what is wrong and keeps the modes it can use.
TEST(ModeTableRead, DamagedFilesKeepTheGoodModesAndSayWhatIsWrong) {
    struct Case {
        std::string text;
        std::size_t kept;
        std::string why;
    };
    const Case cases[] = {
        {"", 0, "0 line(s)"},
        {"one\r\ntwo\r\n", 0, "2 line(s)"},
        {table("Number of modes: xy", numberedModes(3)), 0, "not a number"},
        {table("modes -1", numberedModes(3)), 0, "line 3"},
        {table("modes 1", numberedModes(3)), 1, "at least 2"},
        {table("modes 40", numberedModes(40)), 33, "first 33"},
        {table("modes 05", numberedModes(3)), 3, "only 3 mode line(s)"},
        {table("modes 02", {"A,1,2,3,4,5;", std::string(1 << 20, 'x')}), 1, "(1048576 characters)"},
    };
    for (const Case& c : cases) {
        const ModeTable t = ParseModeTable(c.text);
        EXPECT_EQ(t.lines.size(), c.kept) << c.why;
        EXPECT_TRUE(mentions(t.problems, c.why)) << c.why;
    }

    const ModeTable bad =
        ParseModeTable(table("modes 05", {"A,1,2,3,4,5;", "B,1,2,3,4;5", "C,1,2;3,4,5,6",
                                          "D,1,2,3,4,5", "E,1,2,3,4,99999;"}));
    EXPECT_EQ(bad.lines, std::vector<std::string>{"A,1,2,3,4,5;"});
    ASSERT_EQ(bad.problems.size(), 4u);
    for (int i = 0; i < 4; ++i)
        EXPECT_NE(bad.problems[i].find("line " + std::to_string(5 + i)), std::string::npos);
    EXPECT_NE(bad.problems[3].find("99999"), std::string::npos);

    const ModeTable missing = ReadModeTable("/nonexistent/korva/mode_table.dat");
    EXPECT_TRUE(missing.lines.empty());
    EXPECT_TRUE(mentions(missing.problems, "/nonexistent/korva/mode_table.dat"));
}

TEST(ModeTableFind, WorkingDirectoryFirstThenFallbacks) {
    const fs::path root =
        fs::temp_directory_path() / ("korva-mode-" + std::to_string(std::random_device{}()));
    const fs::path work = root / "work", installed = root / "installed", source = root / "source";
    for (const auto& d : {work, installed, source})
        fs::create_directories(d);
    auto put = [](const fs::path& dir) {
        std::ofstream(dir / kModeTableFileName) << "x";
        return (dir / kModeTableFileName).string();
    };
    const std::vector<std::string> fallbacks = {installed.string(), source.string()};

    auto found = FindModeTable(work.string(), fallbacks);
    EXPECT_EQ(found.path, "");
    EXPECT_NE(found.note.find("no video modes"), std::string::npos);
    const std::string fromSource = put(source);
    found = FindModeTable(work.string(), fallbacks);
    EXPECT_EQ(found.path, fromSource);
    EXPECT_NE(found.note.find(work.string()), std::string::npos);
    const std::string fromInstalled = put(installed);
    EXPECT_EQ(FindModeTable(work.string(), fallbacks).path, fromInstalled);
    const std::string local = put(work);
    found = FindModeTable(work.string(), fallbacks);
    EXPECT_EQ(found.path, local);
    EXPECT_EQ(found.note, "");

    // The built-in fallbacks reach the shipped table from anywhere.
    found = FindModeTable(root.string());
    EXPECT_FALSE(found.note.empty());
    EXPECT_TRUE(ReadModeTable(found.path).problems.empty());
    fs::remove_all(root);
}

// The shipped table, checked against the published timings (active + front porch + sync +
// back porch = total; DE start = sync + back porch).
TEST(ShippedTable, LoadsCleanlyWithCrLfAndPublishedTimings) {
    const std::string path = std::string(KORVA_TEST_DATADIR) + "/mode_table.dat";
    const ModeTable t = ReadModeTable(path);
    EXPECT_TRUE(t.problems.empty()) << t.problems.front();
    EXPECT_GE(t.lines.size(), 16u);
    EXPECT_EQ(t.lines.size(), static_cast<std::size_t>(t.declaredModes));
    std::stringstream raw;
    raw << std::ifstream(path, std::ios::binary).rdbuf();
    const std::string bytes = raw.str();
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
    for (std::size_t i = bytes.find('\n'); i != std::string::npos; i = bytes.find('\n', i + 1))
        ASSERT_EQ(bytes[i - 1], '\r') << "bare LF at " << i;

    std::vector<std::string> names;
    for (const auto& line : t.lines) { // every mode is consistent
        const auto m = ParseModeLine(line);
        ASSERT_TRUE(m) << line;
        names.push_back(m->name);
        EXPECT_TRUE(m->hStart > 0 && m->hStop > m->hStart && m->hStop < m->pllHtotal &&
                    m->vStop > m->vStart)
            << line;
    }
    EXPECT_EQ(names[1], "1024x768@60Hz VESA"); // the default selection

    const std::tuple<const char*, int, int, int, int, int> published[] = {
        //  name                  sync+bp   active  sync+bp active total
        {"1920x1080p@60Hz CEA", 44 + 148, 1920, 5 + 36, 1080, 2200},
        {"1280x720p@60Hz CEA", 40 + 220, 1280, 5 + 20, 720, 1650},
        {"640x480@60Hz VESA", 96 + 48, 640, 2 + 33, 480, 800},
        {"1024x768@60Hz VESA", 136 + 160, 1024, 6 + 29, 768, 1344}};
    for (auto [name, hStart, hActive, vStart, vActive, total] : published) {
        const auto line = std::find_if(t.lines.begin(), t.lines.end(), [&](const std::string& l) {
            return ParseModeLine(l)->name == name;
        });
        ASSERT_NE(line, t.lines.end()) << name;
        const auto m = ParseModeLine(*line);
        EXPECT_EQ((std::vector<double>{m->hStart, m->hStop, m->vStart, m->vStop, m->pllHtotal}),
                  (std::vector<double>{double(hStart), double(hStart + hActive), double(vStart),
                                       double(vStart + vActive), double(total)}))
            << name;
    }
}

// Config.ini's [USB] identifiers: hexadecimal 0..FFFF; anything else is refused with its
// line and the default used. A byte-order mark does not hide the first section.
TEST(ConfigIni, UsbIdentifiersAreCheckedAndAByteOrderMarkIsSkipped) {
    const std::tuple<const char*, std::uint16_t, std::uint16_t, const char*> cases[] = {
        {"\xEF\xBB\xBF[USB]\r\nVendorID=abcd\r\nProductID=0x0001\r\n", 0xABCD, 0x0001, ""},
        {"[USB]\nVendorID=12345\n", 0x1209, 0x1004,
         "line 2: VendorID \"12345\" is not a USB identifier (hexadecimal 0 to FFFF); the "
         "default 1209 is used"},
        {"[usb]\n\nProductID=FFFF1209\nVendorID=-1\n", 0x1209, 0x1004, "line 4: VendorID"},
        {"[USB]\nVendorID=\n", 0x1209, 0x1004, ""},
    };
    const fs::path path =
        fs::temp_directory_path() / ("korva-config-" + std::to_string(std::random_device{}()));
    for (auto [text, vendor, product, problem] : cases) {
        std::ofstream(path, std::ios::binary) << text;
        const UsbMatchSetting s = ReadUsbMatch(path.string(), MatchEntry{});
        EXPECT_EQ(s.match.vendorId, vendor) << text;
        EXPECT_EQ(s.match.productId, product) << text;
        EXPECT_EQ(s.problems.empty(), !*problem) << text;
        EXPECT_TRUE(!*problem || mentions(s.problems, problem)) << text;
    }
    fs::remove(path);
}
