// The mode table reader, the mode line parser, the table lookup and the shipped table.
#include "video/mode_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace korva;
namespace fs = std::filesystem;

namespace {

// A table text with the given third line and mode lines, CR LF line ends.
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

struct TempDir {
    fs::path path;
    TempDir() {
        static int count = 0;
        path = fs::temp_directory_path() /
               ("korva-mode-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
                std::to_string(++count));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(path / name, std::ios::binary) << text;
        return (path / name).string();
    }
};

} // namespace

TEST(ModeLineParse, FieldsAreCutAtCommasAndFirstSemicolon) {
    const auto m = ParseModeLine("N,1,2,3,4,5;a,b,c");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->name, "N");
    EXPECT_EQ(m->hStart, 1);
    EXPECT_EQ(m->hStop, 2);
    EXPECT_EQ(m->vStart, 3);
    EXPECT_EQ(m->vStop, 4);
    EXPECT_EQ(m->pllHtotal, 5);

    const auto worked = ParseModeLine("Mode A,230,1382,41,1065,1500;any note");
    ASSERT_TRUE(worked);
    EXPECT_EQ(worked->name, "Mode A");
    EXPECT_EQ(worked->hStop, 1382);
    EXPECT_EQ(worked->pllHtotal, 1500);
}

TEST(ModeLineParse, FieldsUseTheProgramsNumberReading) {
    const auto m = ParseModeLine("X, 720,720 px,7 20,,&H5DC;");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->hStart, 720);
    EXPECT_EQ(m->hStop, 720);
    EXPECT_EQ(m->vStart, 720);
    EXPECT_EQ(m->vStop, 0); // empty field
    EXPECT_EQ(m->pllHtotal, 1500);
    // Only the first semicolon ends the Htotal; text behind it is never read.
    EXPECT_EQ(ParseModeLine("X,1,2,3,4, 6 ;7;8")->pllHtotal, 6);
}

TEST(ModeLineParse, MissingSeparatorsGiveNothing) {
    EXPECT_FALSE(ParseModeLine("X,1,2,3,4;5")); // four commas
    EXPECT_FALSE(ParseModeLine("X,1,2,3,4,5")); // no semicolon
    EXPECT_FALSE(ParseModeLine("X,1,2;3,4,5")); // semicolon before the fifth comma
    EXPECT_FALSE(ParseModeLine(""));
    EXPECT_TRUE(ParseModeLine(",,,,,;")); // all empty: zeros, still well formed
    EXPECT_FALSE(ParseModeLine("X,1,2;3,4,5,6"));
    EXPECT_NE(ModeLineProblem("X,1,2;3,4,5,6").find("semicolon comes before"), std::string::npos);
    EXPECT_NE(ModeLineProblem("X,1;2").find("1 comma"), std::string::npos);
}

TEST(ModeLineParse, ValuesMustFitSixteenBits) {
    EXPECT_EQ(ModeLineProblem("X,0,65535,1,2,3;"), "");
    EXPECT_NE(ModeLineProblem("X,-1,2,3,4,5;").find("DE horizontal start -1"), std::string::npos);
    EXPECT_NE(ModeLineProblem("X,1,2,3,4,65536;").find("PLL Htotal 65536"), std::string::npos);
}

TEST(ModeTableRead, CountFromLastTwoCharactersOfLineThree) {
    const ModeTable t = ParseModeTable(table("Number of modes: 12", numberedModes(15)));
    EXPECT_TRUE(t.problems.empty());
    EXPECT_EQ(t.declaredModes, 12);
    ASSERT_EQ(t.lines.size(), 12u); // the thirteenth and later lines are not read
    EXPECT_EQ(t.lines.front(), "M0,0,2,3,4,5;note 0");
    EXPECT_EQ(t.lines.back(), "M11,11,2,3,4,5;note 11");

    EXPECT_EQ(ParseModeTable(table("modes 09", numberedModes(9))).lines.size(), 9u);
    EXPECT_EQ(ParseModeTable(table("modes: 3", numberedModes(3))).lines.size(), 3u);
    EXPECT_EQ(ParseModeTable(table("3", numberedModes(3))).lines.size(), 3u);
}

TEST(ModeTableRead, LinesAreKeptVerbatimWithEitherLineEnd) {
    const std::vector<std::string> modes = {"A ,1,2,3,4,5; comment, with commas  ",
                                            "B,6,7,8,9,10;"};
    const ModeTable crlf = ParseModeTable(table("n 2", modes));
    const ModeTable lf = ParseModeTable(table("n 2", modes, "\n"));
    EXPECT_EQ(crlf.lines, modes);
    EXPECT_EQ(lf.lines, modes);
    // The last line needs no line end.
    std::string text = table("n 2", modes);
    text.erase(text.size() - 2);
    EXPECT_EQ(ParseModeTable(text).lines, modes);
    EXPECT_TRUE(ParseModeTable(text).problems.empty());
}

TEST(ModeTableRead, DamagedHeaderOrCount) {
    EXPECT_TRUE(ParseModeTable("").lines.empty());
    EXPECT_TRUE(mentions(ParseModeTable("").problems, "0 line(s)"));
    EXPECT_TRUE(mentions(ParseModeTable("one\r\ntwo\r\n").problems, "2 line(s)"));

    const ModeTable word = ParseModeTable(table("Number of modes: xy", numberedModes(3)));
    EXPECT_TRUE(word.lines.empty());
    EXPECT_TRUE(mentions(word.problems, "line 3"));
    EXPECT_TRUE(mentions(word.problems, "not a number"));
    EXPECT_FALSE(ParseModeTable(table("modes -1", numberedModes(3))).problems.empty());

    const ModeTable one = ParseModeTable(table("modes 1", numberedModes(3)));
    EXPECT_EQ(one.lines.size(), 1u);
    EXPECT_TRUE(mentions(one.problems, "at least 2"));

    const ModeTable many = ParseModeTable(table("modes 40", numberedModes(40)));
    EXPECT_EQ(many.lines.size(), 33u);
    EXPECT_EQ(many.declaredModes, 40);
    EXPECT_TRUE(mentions(many.problems, "first 33"));
}

TEST(ModeTableRead, ShortOrBadModeLinesAreLeftOutAndReported) {
    const ModeTable few = ParseModeTable(table("modes 05", numberedModes(3)));
    EXPECT_EQ(few.lines.size(), 3u);
    EXPECT_TRUE(mentions(few.problems, "only 3 mode line(s)"));

    const ModeTable bad =
        ParseModeTable(table("modes 05", {"A,1,2,3,4,5;", "B,1,2,3,4;5", "C,1,2;3,4,5,6",
                                          "D,1,2,3,4,5", "E,1,2,3,4,99999;"}));
    EXPECT_EQ(bad.lines, std::vector<std::string>{"A,1,2,3,4,5;"});
    ASSERT_EQ(bad.problems.size(), 4u);
    EXPECT_NE(bad.problems[0].find("line 5"), std::string::npos);
    EXPECT_NE(bad.problems[1].find("line 6"), std::string::npos);
    EXPECT_NE(bad.problems[2].find("line 7"), std::string::npos);
    EXPECT_NE(bad.problems[3].find("line 8"), std::string::npos);
    EXPECT_NE(bad.problems[3].find("99999"), std::string::npos);
}

TEST(ModeTableRead, MissingFileIsAProblemNotACrash) {
    const ModeTable t = ReadModeTable("/nonexistent/korva/mode_table.dat");
    EXPECT_TRUE(t.lines.empty());
    EXPECT_TRUE(mentions(t.problems, "/nonexistent/korva/mode_table.dat"));
}

TEST(ModeTableFind, WorkingDirectoryFirstThenFallbacks) {
    TempDir work, installed, source;
    const std::vector<std::string> fallbacks = {installed.path.string(), source.path.string()};

    EXPECT_EQ(FindModeTable(work.path.string(), fallbacks).path, "");
    EXPECT_NE(FindModeTable(work.path.string(), fallbacks).note.find("no video modes"),
              std::string::npos);

    const std::string fromSource = source.write(kModeTableFileName, "x");
    auto found = FindModeTable(work.path.string(), fallbacks);
    EXPECT_EQ(found.path, fromSource);
    EXPECT_NE(found.note.find(work.path.string()), std::string::npos);

    const std::string fromInstalled = installed.write(kModeTableFileName, "x");
    EXPECT_EQ(FindModeTable(work.path.string(), fallbacks).path, fromInstalled);

    const std::string local = work.write(kModeTableFileName, "x");
    found = FindModeTable(work.path.string(), fallbacks);
    EXPECT_EQ(found.path, local);
    EXPECT_EQ(found.note, "");

    // The built-in fallbacks reach the shipped table from anywhere.
    TempDir empty;
    found = FindModeTable(empty.path.string());
    EXPECT_FALSE(found.path.empty());
    EXPECT_FALSE(found.note.empty());
    EXPECT_TRUE(ReadModeTable(found.path).problems.empty());
}

// The shipped table, checked against the published timings (active + front porch + sync +
// back porch = total; DE start = sync + back porch).
class ShippedTable : public ::testing::Test {
  protected:
    static std::string path() { return std::string(KORVA_TEST_DATADIR) + "/mode_table.dat"; }
    std::optional<ModeLine> find(const std::string& name) {
        for (const auto& line : t.lines)
            if (auto m = ParseModeLine(line); m && m->name == name) return m;
        return std::nullopt;
    }
    void expectMode(const std::string& name, int hSyncBack, int hActive, int vSyncBack, int vActive,
                    int hTotal) {
        SCOPED_TRACE(name);
        const auto m = find(name);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->hStart, hSyncBack);
        EXPECT_EQ(m->hStop, hSyncBack + hActive);
        EXPECT_EQ(m->vStart, vSyncBack);
        EXPECT_EQ(m->vStop, vSyncBack + vActive);
        EXPECT_EQ(m->pllHtotal, hTotal);
    }
    ModeTable t = ReadModeTable(path());
};

TEST_F(ShippedTable, LoadsCleanlyWithCrLfAndADefault) {
    EXPECT_TRUE(t.problems.empty()) << t.problems.front();
    EXPECT_GE(t.lines.size(), 16u);
    EXPECT_EQ(t.lines.size(), static_cast<std::size_t>(t.declaredModes));

    std::ifstream in(path(), std::ios::binary);
    std::stringstream raw;
    raw << in.rdbuf();
    const std::string bytes = raw.str();
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] == '\n') {
            ASSERT_TRUE(i > 0 && bytes[i - 1] == '\r') << "bare LF at " << i;
        }
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");

    ASSERT_GE(t.lines.size(), 2u);
    EXPECT_EQ(ParseModeLine(t.lines[1])->name, "1024x768@60Hz VESA");
}

TEST_F(ShippedTable, EveryModeIsConsistentAndNamesItsSource) {
    std::vector<std::string> names;
    for (const auto& line : t.lines) {
        SCOPED_TRACE(line);
        const auto m = ParseModeLine(line);
        ASSERT_TRUE(m);
        names.push_back(m->name);
        EXPECT_GT(m->hStart, 0);
        EXPECT_GT(m->hStop, m->hStart);
        EXPECT_LT(m->hStop, m->pllHtotal); // the front porch follows the active pixels
        EXPECT_GT(m->vStop, m->vStart);
        const std::string comment = line.substr(line.find(';') + 1);
        EXPECT_TRUE(comment.rfind("VESA DMT ", 0) == 0 || comment.rfind("CEA-861 ", 0) == 0);
        EXPECT_NE(comment.find("MHz"), std::string::npos);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end()) << "duplicate name";
}

TEST_F(ShippedTable, PublishedTimings) {
    //          name                   sync+bp  active  sync+bp  active  total
    expectMode("1920x1080p@60Hz CEA", 44 + 148, 1920, 5 + 36, 1080, 2200);
    expectMode("1920x1080p@50Hz CEA", 44 + 148, 1920, 5 + 36, 1080, 2640);
    expectMode("1280x720p@60Hz CEA", 40 + 220, 1280, 5 + 20, 720, 1650);
    expectMode("720x480p@60Hz CEA", 62 + 60, 720, 6 + 30, 480, 858);
    expectMode("720x576p@50Hz CEA", 64 + 68, 720, 5 + 39, 576, 864);
    expectMode("1920x1080i@60Hz CEA", 44 + 148, 1920, 5 + 15, 540, 2200);
    expectMode("640x480@60Hz VESA", 96 + 48, 640, 2 + 33, 480, 800);
    expectMode("800x600@60Hz VESA", 128 + 88, 800, 4 + 23, 600, 1056);
    expectMode("1024x768@60Hz VESA", 136 + 160, 1024, 6 + 29, 768, 1344);
    expectMode("1280x1024@60Hz VESA", 112 + 248, 1280, 3 + 38, 1024, 1688);
    expectMode("1600x1200@60Hz VESA", 192 + 304, 1600, 3 + 46, 1200, 2160);
}
