// The mode line parser and checks, the mode table reader and lookup, the shipped table and
// Config.ini's USB identifiers.
#include "video/ini_reader.h"
#include "video/mode_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

using namespace korva;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

// A table text with the given third line and mode lines.
std::string table(const std::string& third, const Lines& modes, const char* eol = "\r\n") {
    std::string t = std::string("header one") + eol + "header two" + eol + third + eol;
    for (const auto& m : modes)
        t += m + eol;
    return t;
}

Lines numbered(int n) {
    Lines v;
    for (int i = 0; i < n; ++i)
        v.push_back("M" + std::to_string(i) + "," + std::to_string(i) + ",2,3,4,5;note");
    return v;
}

bool has(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

fs::path freshDir() {
    const auto d = fs::temp_directory_path() / ("korva-" + std::to_string(std::random_device{}()));
    fs::create_directories(d);
    return d;
}

} // namespace

TEST(ModeLine, FieldsAreCutAtCommasAndTheFirstSemicolonAndChecked) {
    // line, name (nullptr: does not parse), the five values (none: not compared), problem
    const std::tuple<const char*, const char*, std::vector<double>, const char*> cases[] = {
        {"N,1,2,3,4,5;a,b,c", "N", {1, 2, 3, 4, 5}, ""},
        {"X, 720,720 px,7 20,,&H5DC;7;8", "X", {720, 720, 720, 0, 1500}, ""}, // as numbers read
        {",,,,,;", "", {0, 0, 0, 0, 0}, ""},
        {"X,0,65535,1,2,3;", "X", {0, 65535, 1, 2, 3}, ""},
        {"X,1,2,3,4;5", nullptr, {}, "4 comma"},
        {"X,1,2,3,4,5", nullptr, {}, "no semicolon"},
        {"X,1,2;3,4,5,6", nullptr, {}, "semicolon comes before"},
        {"X,1;2", nullptr, {}, "1 comma"},
        {"", nullptr, {}, "0 comma"},
        {"X,-1,2,3,4,5;", "X", {-1, 2, 3, 4, 5}, "DE horizontal start -1"}, // beyond 16 bits
        {"X,1,2,3,4,65536;", "X", {1, 2, 3, 4, 65536}, "PLL Htotal 65536"},
        {"X,1,1e400,3,4,5;", "X", {}, "DE horizontal stop \"1e400\" is too large"}};
    for (auto [line, name, values, why] : cases) {
        SCOPED_TRACE(line);
        const std::string problem = ModeLineProblem(line);
        EXPECT_TRUE(*why ? has(problem, why) : problem.empty()) << problem;
        const auto m = ParseModeLine(line);
        ASSERT_EQ(m.has_value(), name != nullptr);
        if (!m) continue;
        EXPECT_EQ(m->name, name);
        if (values.empty()) continue;
        EXPECT_EQ((std::vector<double>{m->hStart, m->hStop, m->vStart, m->vStop, m->pllHtotal}),
                  values);
    }
}

// The count is the last two characters of line 3; the lines are kept verbatim; each thing
// wrong is one problem, in order, naming its line.
TEST(ModeTable, KeepsTheUsableModesAndSaysWhatIsWrong) {
    const Lines kept = {"A ,1,2,3,4,5; comment, with commas  ", "B,6,7,8,9,10;"};
    const std::string a = "A,1,2,3,4,5;";
    const std::string noLastEol = table("n 2", kept).substr(0, table("n 2", kept).size() - 2);
    const std::tuple<std::string, Lines, int, Lines> cases[] = {
        // text, lines kept, count declared, a piece of each problem
        {table("Number of modes: 12", numbered(15)), numbered(12), 12, {}},
        {table("modes 09", numbered(9)), numbered(9), 9, {}},
        {table("3", numbered(3)), numbered(3), 3, {}},
        {table("n 2", kept), kept, 2, {}},
        {table("n 2", kept, "\n"), kept, 2, {}},
        {noLastEol, kept, 2, {}},
        {"", {}, 0, {"0 line(s)"}},
        {"one\r\ntwo\r\n", {}, 0, {"2 line(s)"}},
        {table("Number of modes: xy", numbered(3)), {}, 0, {"line 3: the mode count \"xy\""}},
        {table("modes -1", numbered(3)), {}, 0, {"line 3"}},
        {table("modes 1", numbered(3)), numbered(1), 1, {"at least 2"}},
        {table("modes 40", numbered(40)), numbered(33), 40, {"first 33"}},
        {table("modes 05", numbered(3)), numbered(3), 5, {"only 3 mode line(s)"}},
        {table("n 2", {a, std::string(1 << 20, 'x')}), {a}, 2, {"(1048576 characters) left out"}},
        {table("n 5", {a, "B,1,2,3,4;5", "C,1,2;3,4,5,6", "D,1,2,3,4,5", "E,1,2,3,4,99999;"}),
         {a},
         5,
         {"line 5", "line 6", "line 7", "99999;\" left out: its PLL Htotal 99999"}}};
    for (const auto& [text, lines, declared, problems] : cases) {
        SCOPED_TRACE(text.substr(0, 60));
        const ModeTable t = ParseModeTable(text);
        EXPECT_EQ(t.lines, lines);
        EXPECT_EQ(t.declaredModes, declared);
        ASSERT_EQ(t.problems.size(), problems.size()) << testing::PrintToString(t.problems);
        for (std::size_t i = 0; i < problems.size(); ++i)
            EXPECT_TRUE(has(t.problems[i], problems[i])) << t.problems[i];
    }
    const ModeTable missing = ReadModeTable("/nonexistent/korva/mode_table.dat");
    EXPECT_TRUE(missing.lines.empty());
    EXPECT_TRUE(has(missing.problems.at(0), "/nonexistent/korva/mode_table.dat"));
}

TEST(ModeTable, FoundInTheWorkingDirectoryFirstThenInTheFallbacks) {
    const fs::path root = freshDir(), work = root / "w", installed = root / "i",
                   source = root / "s";
    // Each step puts a table in one more folder: the one used, and a piece of the note.
    const std::tuple<fs::path, std::string> steps[] = {
        {fs::path(), "no video modes"}, {source, work}, {installed, work}, {work, ""}};
    for (auto [put, note] : steps) {
        if (!put.empty()) fs::create_directories(put), std::ofstream(put / kModeTableFileName);
        const auto found = FindModeTable(work.string(), {installed.string(), source.string()});
        EXPECT_EQ(found.path, put.empty() ? "" : (put / kModeTableFileName).string());
        EXPECT_TRUE(note.empty() ? found.note.empty() : has(found.note, note)) << found.note;
    }
    const auto found = FindModeTable(root.string()); // the built-in fallbacks, from anywhere
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
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n"); // CR LF throughout
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'),
              std::count(bytes.begin(), bytes.end(), '\r'));
    std::map<std::string, std::vector<double>> modes;
    for (const auto& line : t.lines) { // every mode is consistent
        const auto m = ParseModeLine(line);
        ASSERT_TRUE(m) << line;
        modes[m->name] = {m->hStart, m->hStop, m->vStart, m->vStop, m->pllHtotal};
        EXPECT_TRUE(m->hStart > 0 && m->hStop > m->hStart && m->hStop < m->pllHtotal &&
                    m->vStop > m->vStart)
            << line;
    }
    EXPECT_EQ(ParseModeLine(t.lines[1])->name, "1024x768@60Hz VESA"); // the default selection
    const std::tuple<const char*, double, double, double, double, double> published[] = {
        //  name                  sync+bp   active  sync+bp active total
        {"1920x1080p@60Hz CEA", 44 + 148, 1920, 5 + 36, 1080, 2200},
        {"1280x720p@60Hz CEA", 40 + 220, 1280, 5 + 20, 720, 1650},
        {"640x480@60Hz VESA", 96 + 48, 640, 2 + 33, 480, 800},
        {"1024x768@60Hz VESA", 136 + 160, 1024, 6 + 29, 768, 1344}};
    for (auto [name, h, hActive, v, vActive, total] : published)
        EXPECT_EQ(modes[name], (std::vector<double>{h, h + hActive, v, v + vActive, total}))
            << name;
}

// Config.ini's [USB] identifiers: hexadecimal 0..FFFF; anything else is refused with its
// line and the default used. A byte-order mark does not hide the first section.
TEST(ConfigIni, UsbIdentifiersAreCheckedAndAByteOrderMarkIsSkipped) {
    // text, vendor and product identifier read, a piece of each problem
    const std::tuple<const char*, std::uint32_t, Lines> cases[] = {
        {"\xEF\xBB\xBF[USB]\r\nVendorID=abcd\r\nProductID=0x0001\r\n", 0xABCD'0001, {}},
        {"[USB]\nVendorID=12345\n",
         0x1209'1004,
         {"line 2: VendorID \"12345\" is not a USB identifier (hexadecimal 0 to FFFF); the "
          "default 1209 is used"}},
        {"[usb]\n\nProductID=FFFF1209\nVendorID=-1\n",
         0x1209'1004,
         {"line 4: VendorID", "line 3: ProductID"}},
        {"[USB]\nVendorID=\n", 0x1209'1004, {}}};
    const fs::path dir = freshDir(), path = dir / "Config.ini";
    for (const auto& [text, ids, problems] : cases) {
        SCOPED_TRACE(text);
        std::ofstream(path, std::ios::binary) << text;
        const UsbMatchSetting s = ReadUsbMatch(path.string(), MatchEntry{});
        EXPECT_EQ(s.match.vendorId, ids >> 16);
        EXPECT_EQ(s.match.productId, ids & 0xFFFF);
        ASSERT_EQ(s.problems.size(), problems.size());
        for (std::size_t i = 0; i < problems.size(); ++i)
            EXPECT_TRUE(has(s.problems[i], problems[i])) << s.problems[i];
    }
    fs::remove_all(dir);
}
