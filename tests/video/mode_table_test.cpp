// The mode line checks, the mode table reader and lookup, the shipped table and Config.ini's
// USB identifiers. That every kept line passes the checks and fits the registers is the
// fuzz target's property; these rows name the faults found so far.
#include "support/temp_dir.h"
#include "config/ini_reader.h"
#include "video/mode_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using namespace korva;
using Lines = std::vector<std::string>;

// A table text with the given third line and mode lines.
static std::string table(const std::string& third, const Lines& modes, const char* eol = "\r\n") {
    std::string t = std::string("header one") + eol + "header two" + eol + third + eol;
    for (const auto& m : modes)
        t += m + eol;
    return t;
}

// Each problem holds its piece, in order.
static void expectProblems(const Lines& problems, const Lines& pieces) {
    ASSERT_EQ(problems.size(), pieces.size()) << testing::PrintToString(problems);
    for (std::size_t i = 0; i < pieces.size(); ++i)
        EXPECT_NE(problems[i].find(pieces[i]), std::string::npos) << problems[i];
}

TEST(ModeLine, FieldsAreCutAtCommasAndTheFirstSemicolon) {
    const auto m = ParseModeLine("X , 720,720 px,7 20,,&H5DC;7;8,9"); // as numbers read
    ASSERT_TRUE(m);
    EXPECT_EQ((std::vector<double>{m->hStart, m->hStop, m->vStart, m->vStop, m->pllHtotal}),
              (std::vector<double>{720, 720, 720, 0, 1500}));
    EXPECT_FALSE(ParseModeLine("X,1,2,3,4;5"));
}

// The count is the last two characters of line 3; the lines are kept verbatim; each thing
// wrong is one problem, in order, naming its line.
TEST(ModeTable, KeepsTheUsableModesAndSaysWhatIsWrong) {
    const Lines kept = {"A ,1,2,3,4,5; comment, with commas  ", "B,6,7,8,9,10;"};
    const std::string a = "A,1,2,3,4,5;", lf = table("n 2", kept, "\n");
    const std::tuple<std::string, Lines, int, Lines> cases[] = {
        // text, lines kept, count declared, a piece of each problem
        {table("Number of modes: 12", Lines(15, a)), Lines(12, a), 12, {}},
        {table("n 2", kept), kept, 2, {}},
        {lf.substr(0, lf.size() - 1), kept, 2, {}}, // LF ends, none after the last line
        {"one\r\ntwo\r\n", {}, 0, {"2 line(s)"}},
        {table("Number of modes: xy", Lines(3, a)), {}, 0, {"line 3: the mode count \"xy\""}},
        {table("modes 1", {}), {}, 1, {"at least 2", "only 0 mode line(s)"}},
        {table("modes 40", Lines(40, a)), Lines(33, a), 40, {"first 33"}},
        {table("n 2", {a, std::string(1 << 20, 'x')}), {a}, 2, {"(1048576 characters) left out"}},
        {table("n 4", {"B,1,2,3,4;5", a, "C,1,2;3,4,5,6", "D,1,1e400,3,4,5;"}),
         {a},
         4,
         {"line 4: mode \"B,1,2,3,4;5\" left out: it has 4 comma(s)",
          "line 6: mode \"C,1,2;3,4,5,6\" left out: its first semicolon comes before",
          "line 7: mode \"D,1,1e400,3,4,5;\" left out: its DE horizontal stop \"1e400\" is too "
          "large"}}};
    for (const auto& [text, lines, declared, problems] : cases) {
        SCOPED_TRACE(text.substr(0, 60));
        const ModeTable t = ParseModeTable(text);
        EXPECT_EQ(t.lines, lines);
        EXPECT_EQ(t.declaredModes, declared);
        expectProblems(t.problems, problems);
    }
    // Files that are not read: each one problem naming the file (a huge one without being
    // read: the file is sparse, and reading it whole would take seconds and a gigabyte).
    const test::TempDir dir;
    const std::string huge = dir / kModeTableFileName;
    test::writeFile(huge, table("n 2", Lines(2, a)));
    std::filesystem::resize_file(huge, std::uintmax_t{1} << 30);
    const std::pair<std::string, std::string> unread[] = {
        {"/nonexistent/korva/mode_table.dat", "/nonexistent/korva/mode_table.dat: No such file"},
        {huge, huge + " is 1073741824 bytes long, far more than any mode table"},
        {dir.path.string(), dir.path.string() + " is not a file"},
        {huge + '\0' + ".txt", "mode_table.dat\\0.txt\" holds a NUL byte"}};
    for (const auto& [path, problem] : unread)
        expectProblems(ReadModeTable(path).problems, {problem});
}

TEST(ModeTable, FoundInTheWorkingDirectoryFirstThenInTheFallbacks) {
    const test::TempDir root;
    const std::string work = root / "w", installed = root / "i", source = root / "s";
    // Each step puts a table in one more folder: the one used, and a piece of the note.
    const std::tuple<std::string, Lines> steps[] = {
        {"", {"no video modes"}}, {source, {work}}, {installed, {work}}, {work, {}}};
    for (const auto& [put, note] : steps) {
        const std::string file = put.empty() ? "" : put + "/" + kModeTableFileName;
        if (!put.empty()) std::filesystem::create_directories(put), std::ofstream(file);
        const auto found = FindModeTable(work, {installed, source});
        EXPECT_EQ(found.path, file);
        expectProblems(found.note.empty() ? Lines{} : Lines{found.note}, note);
    }
    const auto found = FindModeTable(root.path.string()); // the built-in fallbacks, from anywhere
    EXPECT_FALSE(found.note.empty());
    EXPECT_TRUE(ReadModeTable(found.path).problems.empty());
}

// The shipped table, CR LF line ends, checked against the published timings (active +
// front porch + sync + back porch = total; DE start = sync + back porch).
TEST(ShippedTable, LoadsCleanlyWithCrLfAndPublishedTimings) {
    const std::string path = std::string(KORVA_TEST_DATADIR) + "/mode_table.dat";
    const ModeTable t = ReadModeTable(path);
    expectProblems(t.problems, {});
    EXPECT_EQ(t.lines.size(), static_cast<std::size_t>(t.declaredModes));
    const std::string bytes = test::slurp(path);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'),
              std::count(bytes.begin(), bytes.end(), '\r'));
    std::map<std::string, std::vector<double>> modes;
    for (const auto& line : t.lines) {
        const auto m = ParseModeLine(line);
        modes[m->name] = {m->hStart, m->hStop, m->vStart, m->vStop, m->pllHtotal};
    }
    EXPECT_EQ(ParseModeLine(t.lines[1])->name, "1024x768@60Hz VESA"); // the default selection
    const std::tuple<const char*, double, double, double, double, double> published[] = {
        //  name                  sync+bp   active  sync+bp active total
        {"1920x1080p@60Hz CEA", 44 + 148, 1920, 5 + 36, 1080, 2200},
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
        {"[usb]\n\nProductID=12345\nVendorID=-1\n",
         0x1209'1004,
         {"line 4: VendorID \"-1\"", "line 3: ProductID \"12345\" is not a USB identifier "
                                     "(hexadecimal 0 to FFFF); the default 1004 is used"}}};
    const test::TempDir dir;
    for (const auto& [text, ids, problems] : cases) {
        SCOPED_TRACE(text);
        test::writeFile(dir / "Config.ini", std::string(text));
        const UsbMatchSetting s = ReadUsbMatch(dir / "Config.ini", MatchEntry{});
        EXPECT_EQ(s.match.vendorId, ids >> 16);
        EXPECT_EQ(s.match.productId, ids & 0xFFFF);
        expectProblems(s.problems, problems);
    }
    // A huge file is refused unread, the defaults and the flag's default kept.
    test::writeFile(dir / "Config.ini", std::string("[Flags]\nTest=1\n[USB]\nVendorID=abcd\n"));
    std::filesystem::resize_file(dir / "Config.ini", std::uintmax_t{1} << 30);
    const UsbMatchSetting s = ReadUsbMatch(dir / "Config.ini", MatchEntry{});
    EXPECT_EQ(std::tuple(s.match.vendorId, ReadTestFlag(dir / "Config.ini")),
              std::tuple(kDefaultVendorId, false));
    expectProblems(s.problems, {dir / "Config.ini is 1073741824 bytes long"});
}
