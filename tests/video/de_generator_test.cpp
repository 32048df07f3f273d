// The DE generator frame on the simulated board: the boxes put their counts into grid
// cells 28..35, the grid writes the FPGA registers, and only Vstop re-reads the grid.
#include "device/board.h"
#include "device/sim_board.h"
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "support/recording_sink.h"
#include "tools/fpga_grid.h"
#include "video/de_generator.h"

#include <QAction>
#include <QLabel>
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
    DeGenerator de{grid};

    Rig() { sim.init(&driver, MatchEntry{}, MakeEventTable(sim, ctx)); }
    QString cell(int i) const { return grid.XilinxReg(i)->text(); }
    // Empties a box (its registers get 0) and forgets what that sent.
    void clear(QLineEdit* box) {
        box->clear();
        sim.clearLog();
    }
    int reads() const {
        int n = 0;
        for (const auto& p : sent())
            n += p[0] == 0x2E;
        return n;
    }
};

Packets writes(std::initializer_list<std::pair<std::uint8_t, std::uint8_t>> regs) {
    Packets p;
    for (auto [reg, value] : regs)
        p.push_back(packet({0x2F, reg, value}));
    return p;
}

} // namespace

TEST(DeGenerator, ControlsDefaultsAndNothingSentAtStart) {
    Rig r;
    EXPECT_EQ(r.de.objectName(), "Frame2");
    const char* names[] = {"Hstart", "Hstop", "Vstart", "Vstop"};
    const char* texts[] = {"230", "1382", "41", "1065"};
    const char* labels[] = {"Label2", "Label10", "Label11", "Label12"};
    const char* captions[] = {"Horizontal DEstart", "Horizontal DE stop", "Vertical DE start",
                              "Vertical DE stop"};
    for (int i = 0; i < 4; ++i) {
        QLineEdit* box = r.de.findChild<QLineEdit*>(names[i]);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box, r.de.box(i));
        EXPECT_EQ(box->text(), texts[i]);
        EXPECT_EQ(box->accessibleName(), captions[i]);
        EXPECT_EQ(r.de.findChild<QLabel*>(labels[i])->text(), captions[i]);
    }
    EXPECT_EQ(r.de.Hstart(), r.de.box(0));
    EXPECT_EQ(r.de.Vstop(), r.de.box(3));
    EXPECT_EQ(r.de.findChild<QLabel*>("Label8")->text(), "Active Video (DE signal asserted)");
    // Hstart and Hstop above the sketch, Vstart above Vstop at its left.
    EXPECT_LT(r.de.Hstart()->x(), r.de.Hstop()->x());
    EXPECT_LT(r.de.Vstart()->y(), r.de.Vstop()->y());
    EXPECT_LT(r.de.Vstart()->x(), r.de.Hstart()->x());
    EXPECT_TRUE(r.sim.log().empty());
    for (int i = 28; i < 36; ++i)
        EXPECT_EQ(r.cell(i), "");
}

TEST(DeGeneratorChange, TypingWritesOnlyTheBytesWhoseTextChanged) {
    Rig r;
    r.clear(r.de.Hstop());
    EXPECT_EQ(r.cell(30), "0");
    EXPECT_EQ(r.cell(31), "0");
    QTest::keyClicks(r.de.Hstop(), "1382");
    EXPECT_EQ(r.de.Hstop()->text(), "1382");
    // 1, 13 (0x0D), 138 (0x8A), 1382 (0x0566)
    EXPECT_EQ(r.sent(),
              writes({{0x1F, 0x01}, {0x1F, 0x0D}, {0x1F, 0x8A}, {0x1E, 0x05}, {0x1F, 0x66}}));
    EXPECT_EQ(r.cell(30), "5");
    EXPECT_EQ(r.cell(31), "66");
    EXPECT_EQ(r.sim.fpga(0x1E), 0x05);
    EXPECT_EQ(r.sim.fpga(0x1F), 0x66);
}

TEST(DeGeneratorChange, ProgramSetValuesGiveHighAndLowByte) {
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
    EXPECT_EQ(r.sim.fpga(0x1C), 0x00);
    EXPECT_EQ(r.sim.fpga(0x1D), 0x00);
}

TEST(DeGeneratorChange, CountsBeyondTwoBytesWriteNothing) {
    Rig r;
    r.de.Hstart()->setText("65535");
    EXPECT_EQ(r.cell(28), "FF");
    r.sim.clearLog();
    r.clear(r.de.Hstart());
    QTest::keyClicks(r.de.Hstart(), "9E9");
    // "9" writes the low byte; "9E" is still 9; 9E9 does not fit and writes nothing.
    EXPECT_EQ(r.sent(), writes({{0x1D, 0x09}}));
    EXPECT_EQ(r.cell(28), "0");
    EXPECT_EQ(r.cell(29), "9");
    // Vstop beyond range: no write and no re-read either.
    r.sim.clearLog();
    r.de.Vstop()->setText("1E6");
    EXPECT_TRUE(r.sim.log().empty());
}

TEST(DeGeneratorChange, OnlyVstopRereadsTheGrid) {
    Rig r;
    r.sim.setFpga(0x24, 0x5A);
    r.de.Hstart()->setText("1");
    r.de.Hstop()->setText("2");
    r.de.Vstart()->setText("3");
    EXPECT_EQ(r.reads(), 0);
    EXPECT_EQ(r.cell(0x24), "");
    r.sim.clearLog();
    r.de.Vstop()->setText("1066"); // 0x042A
    const Packets sent = r.sent();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0], packet({0x2F, 0x22, 0x04}));
    EXPECT_EQ(sent[1], packet({0x2F, 0x23, 0x2A}));
    EXPECT_EQ(r.reads(), 37);
    EXPECT_EQ(sent[2], packet({0x2E, 0x00}));
    EXPECT_EQ(r.cell(0x24), "5A");
    // The DE cells were read back as the board holds them.
    EXPECT_EQ(r.cell(34), "4");
    EXPECT_EQ(r.cell(35), "2A");
}

TEST(DeGeneratorKeys, ArrowsStep) {
    Rig r;
    QTest::keyClick(r.de.Hstart(), Qt::Key_Up);
    EXPECT_EQ(r.de.Hstart()->text(), "231");
    EXPECT_EQ(r.cell(29), "E7");
    r.clear(r.de.Hstart());
    r.de.Hstart()->setText("0");
    r.sim.clearLog();
    QTest::keyClick(r.de.Hstart(), Qt::Key_Down);
    EXPECT_EQ(r.de.Hstart()->text(), "-1");
    QTest::keyClick(r.de.Hstart(), Qt::Key_Down);
    EXPECT_EQ(r.de.Hstart()->text(), "0");
    EXPECT_TRUE(r.sent().empty()); // -1 and 0 both reach the registers as 0
    EXPECT_EQ(r.cell(28), "0");
    EXPECT_EQ(r.cell(29), "0");
}

TEST(DeGeneratorKeys, UpPassesFourDigitsAndStopsAtTheLargestCount) {
    Rig r;
    r.de.Hstop()->setText("9999");
    r.sim.clearLog();
    QTest::keyClick(r.de.Hstop(), Qt::Key_Up);
    EXPECT_EQ(r.de.Hstop()->text(), "10000"); // not cut to the typing limit
    EXPECT_EQ(r.sent(), writes({{0x1F, 0x10}}));
    EXPECT_EQ(r.cell(30), "27");

    r.de.Hstop()->setText("65534");
    QTest::keyClick(r.de.Hstop(), Qt::Key_Up);
    EXPECT_EQ(r.de.Hstop()->text(), "65535");
    r.sim.clearLog();
    QTest::keyClick(r.de.Hstop(), Qt::Key_Up);
    EXPECT_EQ(r.de.Hstop()->text(), "65535");
    EXPECT_TRUE(r.sim.log().empty());
    // From out of range the arrows come back to the largest count.
    r.de.Hstop()->setText("9E9");
    QTest::keyClick(r.de.Hstop(), Qt::Key_Down);
    EXPECT_EQ(r.de.Hstop()->text(), "65535");
}

TEST(DeGeneratorKeys, FilterPassesDigitsCapitalHexAndEditingKeys) {
    Rig r;
    QLineEdit* box = r.de.Vstart();
    r.clear(box);
    QTest::keyClicks(box, "1a-. b,+F");
    EXPECT_EQ(box->text(), "1F"); // 1F reads as 1
    QTest::keyClick(box, Qt::Key_Return);
    QTest::keyClick(box, Qt::Key_Left);
    QTest::keyClicks(box, "2");
    EXPECT_EQ(box->text(), "12F");
    QTest::keyClick(box, Qt::Key_Delete);
    EXPECT_EQ(box->text(), "12");
    QTest::keyClick(box, Qt::Key_Home);
    QTest::keyClick(box, Qt::Key_Backspace); // nothing before the cursor
    QTest::keyClick(box, Qt::Key_End);
    QTest::keyClick(box, Qt::Key_Backspace);
    EXPECT_EQ(box->text(), "1");
    QTest::keyClicks(box, "2345"); // typing stops at four characters
    EXPECT_EQ(box->text(), "1234");
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier); // select all still works
    QTest::keyClicks(box, "7");
    EXPECT_EQ(box->text(), "7");
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
    EXPECT_TRUE(DeGenerator::KeyPress(QChar(13)));
}

TEST(DeGeneratorKeys, WindowShortcutsStillReachTheWindow) {
    Rig r;
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(&r.de);
    auto* save = new QAction("Save", &window);
    save->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    window.addAction(save);
    int fired = 0;
    QObject::connect(save, &QAction::triggered, [&] { ++fired; });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    r.de.Hstart()->setFocus();
    ASSERT_TRUE(r.de.Hstart()->hasFocus());
    QTest::keyClick(r.de.Hstart(), Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(r.de.Hstart()->text(), "230");
    QTest::keyClick(r.de.Hstart(), Qt::Key_Tab);
    EXPECT_FALSE(r.de.Hstart()->hasFocus());
    layout->removeWidget(&r.de);
    r.de.setParent(nullptr);
}
