// The DE generator frame on the simulated board: the boxes show their counts in grid
// cells 28..35, write the FPGA registers of the cells that change, and only Vstop
// re-reads the grid.
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "tools/fpga_grid.h"
#include "video/de_generator.h"

#include <QAction>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

using namespace korva;
using korva::test::packet;
using korva::test::Packets;

namespace {

struct Rig : test::BoardRig {
    test::FakePrompts prompts;
    FpgaGrid grid{board, prompts};
    DeGenerator de{grid, board};

    QString cell(int i) const { return grid.XilinxReg(i)->text(); }
    // Puts a text in a box and forgets what that sent.
    void set(QLineEdit* box, const QString& text) {
        box->setText(text);
        sim.clearLog();
    }
};

Packets writes(std::initializer_list<std::pair<std::uint8_t, std::uint8_t>> regs) {
    Packets p;
    for (auto [reg, value] : regs)
        p.push_back(packet({0x2F, reg, value}));
    return p;
}

} // namespace

TEST(DeGeneratorChange, ValuesGiveHighAndLowByteAndCountsBeyondTwoBytesWriteNothing) {
    Rig r;
    r.de.Hstart()->setText("256");
    EXPECT_EQ(r.cell(28), "1");
    EXPECT_EQ(r.cell(29), "0");
    r.de.Vstart()->setText("41");  // unchanged text: nothing runs
    r.de.Vstart()->setText("1E3"); // 1000 = 0x03E8
    r.de.Vstart()->setText("12A"); // letters end the number
    r.de.Hstart()->setText("-1");
    EXPECT_EQ(r.sent(), writes({{0x1C, 0x01},
                                {0x1D, 0x00},
                                {0x20, 0x03},
                                {0x21, 0xE8},
                                {0x20, 0x00},
                                {0x21, 0x0C},
                                {0x1C, 0x00}}));

    r.set(r.de.Hstart(), "");
    QTest::keyClicks(r.de.Hstart(), "9E9");
    // "9" writes the low byte; "9E" is still 9; 9E9 does not fit and writes nothing.
    EXPECT_EQ(r.sent(), writes({{0x1D, 0x09}}));
    EXPECT_EQ(r.cell(28), "0");
    EXPECT_EQ(r.cell(29), "9");
    r.sim.clearLog();
    r.de.Vstop()->setText("1E6"); // no write and no re-read either
    EXPECT_TRUE(r.sim.log().empty());
}

TEST(DeGeneratorChange, OnlyVstopRereadsTheGrid) {
    Rig r;
    r.sim.setFpga(0x24, 0x5A);
    r.de.Hstart()->setText("1");
    r.de.Hstop()->setText("2");
    r.de.Vstart()->setText("3");
    for (const auto& p : r.sent())
        EXPECT_NE(p[0], 0x2E); // no reads before Vstop
    EXPECT_EQ(r.cell(0x24), "");
    r.sim.clearLog();
    r.de.Vstop()->setText("1066"); // 0x042A
    const Packets sent = r.sent();
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(Packets(sent.begin(), sent.begin() + 2), writes({{0x22, 0x04}, {0x23, 0x2A}}));
    EXPECT_EQ(sent[2], packet({0x2E, 0x00})); // then the grid's read-all, which writes nothing
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](auto& p) { return p[0] == 0x2E; }), 37);
    EXPECT_EQ(sent.size(), 2u + 37);
    EXPECT_EQ(r.cell(0x24), "5A");
    EXPECT_EQ(r.cell(34), "4");
    EXPECT_EQ(r.cell(35), "2A");
}

TEST(DeGeneratorKeys, ArrowsStepWithinTheCounts) {
    Rig r;
    QTest::keyClick(r.de.Hstart(), Qt::Key_Up);
    EXPECT_EQ(r.de.Hstart()->text(), "231");
    EXPECT_EQ(r.cell(29), "E7");
    r.set(r.de.Hstart(), "0");
    QTest::keyClick(r.de.Hstart(), Qt::Key_Down);
    EXPECT_EQ(r.de.Hstart()->text(), "-1");
    QTest::keyClick(r.de.Hstart(), Qt::Key_Down);
    EXPECT_EQ(r.de.Hstart()->text(), "0");
    EXPECT_TRUE(r.sent().empty()); // -1 and 0 both reach the registers as 0
    EXPECT_EQ(r.cell(28), "0");
    EXPECT_EQ(r.cell(29), "0");

    r.set(r.de.Hstop(), "9999");
    QTest::keyClick(r.de.Hstop(), Qt::Key_Up);
    EXPECT_EQ(r.de.Hstop()->text(), "10000"); // not cut to the typing limit
    EXPECT_EQ(r.sent(), writes({{0x1F, 0x10}}));
    r.set(r.de.Hstop(), "65535");
    QTest::keyClick(r.de.Hstop(), Qt::Key_Up);
    EXPECT_EQ(r.de.Hstop()->text(), "65535");
    EXPECT_TRUE(r.sim.log().empty());
    r.de.Hstop()->setText("9E9"); // from out of range the arrows come back to the largest
    QTest::keyClick(r.de.Hstop(), Qt::Key_Down);
    EXPECT_EQ(r.de.Hstop()->text(), "65535");
}

TEST(DeGeneratorKeys, FilterPassesDigitsCapitalHexAndEditingKeys) {
    Rig r;
    QLineEdit* box = r.de.Vstart();
    r.set(box, "");
    QTest::keyClicks(box, "1a-. b,+F");
    EXPECT_EQ(box->text(), "1F"); // 1F reads as 1
    QTest::keyClick(box, Qt::Key_Left);
    QTest::keyClicks(box, "2");
    QTest::keyClick(box, Qt::Key_Delete);
    EXPECT_EQ(box->text(), "12");
    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClicks(box, "2345"); // typing stops at four characters
    EXPECT_EQ(box->text(), "1234");
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier); // select all still works
    QTest::keyClicks(box, "7");
    QTest::keyClick(box, Qt::Key_Q, Qt::ControlModifier); // no shortcut: no character
    EXPECT_EQ(box->text(), "7");
    EXPECT_EQ(r.sent(), writes({{0x21, 0x01},
                                {0x21, 0x0C},
                                {0x21, 0x01},
                                {0x21, 0x0C},
                                {0x21, 0x7B},
                                {0x20, 0x04},
                                {0x21, 0xD2},
                                {0x20, 0x00},
                                {0x21, 0x07}}));
    EXPECT_FALSE(DeGenerator::KeyPress('a'));
    EXPECT_FALSE(DeGenerator::KeyPress(' '));
    EXPECT_TRUE(DeGenerator::KeyPress(QChar(8)));
}

TEST(DeGeneratorKeys, WindowShortcutsStillReachTheWindow) {
    Rig r;
    QWidget window;
    (new QVBoxLayout(&window))->addWidget(&r.de);
    auto* save = new QAction("Save", &window);
    save->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    window.addAction(save);
    int fired = 0;
    QObject::connect(save, &QAction::triggered, [&] { ++fired; });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    r.de.Hstart()->setFocus();
    QTest::keyClick(r.de.Hstart(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(r.de.Hstart()->text(), "230");
    r.de.setParent(nullptr);
}
