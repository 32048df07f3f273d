// The register panels in the real main window on the simulated board: Read All, typing
// and stepping in the boxes, mirrors, ganging and the individual read/write.
#include "afe/register_panels.h"
#include "device/textnum.h"
#include "support/form_rig.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;
using namespace korva::test;

namespace {

struct Panels : ::testing::Test {
    FormRig r;
    void SetUp() override { ASSERT_TRUE(r.start()); }
    QLineEdit* box(int i) { return r.form->reg_KORVA726(i); }
    RegisterPanels& panels() { return r.form->panels(); }
    // A key press and release in a box, as the user makes it.
    void key(int index, Qt::Key k, const QString& text = {}) {
        box(index)->setFocus();
        QTest::sendKeyEvent(QTest::KeyAction::Click, box(index), k, text, Qt::NoModifier);
    }
    void waitForDelayedWrites() { QTest::qWait(RegisterPanels::kWriteDelayMs + 150); }
    static std::vector<std::uint8_t> write(int a, int v) {
        return packet({0x23, std::uint8_t(a), std::uint8_t(v)});
    }
    static std::vector<std::uint8_t> read1(int a) {
        return packet({0x03, 0x4C, std::uint8_t(a), 0x01});
    }
};

} // namespace

TEST_F(Panels, InitialContents) {
    EXPECT_EQ(box(0)->text(), "");
    EXPECT_EQ(box(5)->text(), "  ");
    EXPECT_EQ(box(15)->text(), "  ");
    EXPECT_EQ(box(16)->text(), "");
    EXPECT_FALSE(box(0)->isEnabled());
    EXPECT_FALSE(box(2)->isEnabled());
    EXPECT_TRUE(box(3)->isEnabled());
    EXPECT_EQ(r.form->findChild<QLabel*>("KORVA726_Label_0")->text(), "ID and Revision (0x00) ");
    EXPECT_EQ(box(122)->accessibleName(), "DC Restore Clamp 1 (0x22)");
    QTest::keyClicks(box(4), "123");
    EXPECT_EQ(box(4)->text(), "12"); // two characters at most
}

TEST_F(Panels, ReadAllUsesTwoBurstsAndFillsEveryBox) {
    QSignalSpy progress(panels().ProgressBar1(), &QProgressBar::valueChanged);
    QTest::mouseClick(panels().ReadAllRegisterButton(), Qt::LeftButton);
    EXPECT_EQ(r.sent(),
              (Packets{packet({0x03, 0x4C, 0x00, 0x40}), packet({0x03, 0x4C, 0x40, 0x02})}));
    for (int a = 0; a <= 0x41; ++a)
        EXPECT_EQ(box(a)->text(), QString::fromStdString(HexByte(r.sim.afe(a)))) << a;
    EXPECT_EQ(box(122)->text(), box(34)->text());
    EXPECT_EQ(box(123)->text(), box(35)->text());
    EXPECT_EQ(box(125)->text(), box(37)->text());
    EXPECT_EQ(panels().ProgressBar1()->value(), 0);
    ASSERT_FALSE(progress.isEmpty());
    int highest = 0;
    for (const auto& v : progress)
        highest = std::max(highest, v.at(0).toInt());
    EXPECT_EQ(highest, 100);
}

TEST_F(Panels, FailedReadAllLeavesTheBoxesAsTheyWere) {
    r.sim.timeOutTransfer(2);
    panels().ReadAllRegisterButton_Click();
    EXPECT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_EQ(box(5)->text(), "  ");
    EXPECT_EQ(box(3)->text(), "");
}

TEST_F(Panels, SteppingKeysWrapAndWriteAtOnce) {
    box(3)->setText("00");
    key(3, Qt::Key_Down);
    EXPECT_EQ(r.sent(), (Packets{write(3, 0xFF), read1(3)})); // no 0.5 s wait
    EXPECT_EQ(box(3)->text(), "FF");
    key(3, Qt::Key_Up);
    EXPECT_EQ(box(3)->text(), "00");
    box(4)->setText("F5");
    key(4, Qt::Key_PageUp);
    EXPECT_EQ(box(4)->text(), "05");
    key(4, Qt::Key_PageDown);
    EXPECT_EQ(box(4)->text(), "F5");
    key(4, Qt::Key_Left);
    EXPECT_EQ(box(4)->text(), "F6");
    key(4, Qt::Key_Right);
    EXPECT_EQ(box(4)->text(), "F5");
    EXPECT_EQ(r.sim.afe(4), 0xF5);
    // A held key: X11 sends a release with every auto-repeat; only the last release counts.
    for (auto [pressRepeat, releaseRepeat] :
         {std::pair{false, true}, {true, true}, {true, false}}) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier, {}, pressRepeat);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Up, Qt::NoModifier, {}, releaseRepeat);
        QApplication::sendEvent(box(4), &press);
        QApplication::sendEvent(box(4), &release);
    }
    EXPECT_EQ(box(4)->text(), "F6");
    EXPECT_EQ(r.sent().size(), 14u);
}

TEST_F(Panels, SteppingABlankBoxChangesAndSendsNothing) {
    ASSERT_EQ(box(5)->text(), "  ");
    key(5, Qt::Key_Up);
    waitForDelayedWrites();
    EXPECT_EQ(box(5)->text(), "  ");
    EXPECT_TRUE(r.sent().empty());
}

TEST_F(Panels, KeyFilterAndDelayedWrite) {
    box(3)->clear();
    key(3, Qt::Key_A, "a");
    EXPECT_EQ(box(3)->text(), "A");
    EXPECT_TRUE(r.sent().empty()); // the write waits half a second
    waitForDelayedWrites();
    EXPECT_EQ(r.sent(), (Packets{write(3, 0x0A), read1(3)}));
    EXPECT_EQ(box(3)->text(), "0A"); // the read back
    r.sim.clearLog();
    key(3, Qt::Key_G, "g");
    key(3, Qt::Key_Backspace, "\b");
    key(3, Qt::Key_Space, " ");
    EXPECT_EQ(box(3)->text(), "0A");
    waitForDelayedWrites();
    // Every release still writes the unchanged value.
    EXPECT_EQ(r.sent(), (Packets{write(3, 0x0A), read1(3), write(3, 0x0A), read1(3), write(3, 0x0A),
                                 read1(3)}));
}

TEST_F(Panels, OnlyTheTypedValueIsWrittenToABoxNeverRead) {
    // Right after start: boxes 5 to 15 hold two blanks, 16 is empty. A typed digit takes
    // the place of the blanks; a box without a digit writes nothing, ganged or not.
    const struct {
        int box;
        QCheckBox* gang;
        const char* typed;
        Packets sent;
    } cases[] = {
        {6, nullptr, "80", {write(6, 0x80), read1(6), write(6, 0x80), read1(6)}},
        {8,
         panels().GangGain(),
         "8",
         {write(6, 8), write(7, 8), write(8, 8), read1(6), read1(7), read1(8)}},
        {16, nullptr, "g", {}},
        {10, panels().GangOffset(), " ", {}},
    };
    for (const auto& c : cases) {
        r.sim.clearLog();
        if (c.gang) c.gang->setChecked(true);
        box(c.box)->setFocus();
        QTest::keyClicks(box(c.box), c.typed);
        waitForDelayedWrites();
        EXPECT_EQ(r.sent(), c.sent) << c.box;
    }
    EXPECT_EQ(box(7)->text(), "08");
    EXPECT_EQ(box(10)->text(), "  ");
}

TEST_F(Panels, PastedTextPassesTheKeyFilter) {
    const struct {
        const char* before;
        const char* pasted;
        const char* after;
    } cases[] = {{"", "a1", "A1"},
                 {"", "\t1 z\x01", "1"},
                 {"  ", "7", "7"},
                 {"", "123", ""},
                 {"12", "3", "12"}};
    for (const auto& c : cases) {
        box(3)->setText(c.before);
        box(3)->insert(c.pasted);
        EXPECT_EQ(box(3)->text(), c.after) << c.pasted;
        box(3)->setText(c.before);
        QGuiApplication::clipboard()->setText(c.pasted);
        QTest::keyClick(box(3), Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(box(3)->text(), c.after) << c.pasted;
    }
}

TEST_F(Panels, MovingThroughTheBoxesWithTabWritesNothing) {
    // Before any read the boxes hold nothing a register could take: the Tab that moves
    // the focus into a box is released there, and must not write 0x00 over the chip.
    for (int i = 4; i < 16; ++i) {
        box(i)->setFocus();
        QTest::keyPress(box(i), Qt::Key_Tab);
        QTest::keyRelease(box(i + 1), Qt::Key_Tab);
    }
    waitForDelayedWrites();
    EXPECT_TRUE(r.sent().empty());
}

TEST_F(Panels, MirrorBoxWritesItsRegisterAndUpdatesBothBoxes) {
    box(122)->setText("3C");
    key(122, Qt::Key_Up);
    EXPECT_EQ(r.sent(), (Packets{write(0x22, 0x3D), read1(0x22)}));
    EXPECT_EQ(box(34)->text(), "3D");
    EXPECT_EQ(box(122)->text(), "3D");
}

TEST_F(Panels, QuickReleasesInTwoBoxesEachWriteAfterTheDelay) {
    box(3)->clear();
    box(4)->clear();
    QElapsedTimer t;
    t.start();
    key(3, Qt::Key_1, "1");
    key(4, Qt::Key_2, "2");
    QTest::qWait(300);
    EXPECT_TRUE(r.sent().empty());
    waitForDelayedWrites();
    EXPECT_GE(t.elapsed(), RegisterPanels::kWriteDelayMs);
    const Packets sent = r.sent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], write(3, 0x01));
    EXPECT_EQ(sent[2], write(4, 0x02));
}

TEST_F(Panels, TextAtTheMomentOfTheWriteCounts) {
    box(3)->clear();
    key(3, Qt::Key_1, "1");
    key(3, Qt::Key_2, "2");
    waitForDelayedWrites();
    EXPECT_EQ(r.sent(), (Packets{write(3, 0x12), read1(3), write(3, 0x12), read1(3)}));
}

TEST_F(Panels, GangedGainWritesAllThreeThenReadsBack) {
    panels().GangGain()->setChecked(true);
    box(7)->setText("7F");
    key(7, Qt::Key_Up);
    EXPECT_EQ(r.sent(), (Packets{write(6, 0x80), write(7, 0x80), write(8, 0x80), read1(6), read1(7),
                                 read1(8)}));
    for (int i : {6, 7, 8})
        EXPECT_EQ(box(i)->text(), "80");
}

TEST_F(Panels, GangingOnlyAppliesToItsOwnGroup) {
    panels().GangGain()->setChecked(true);
    box(9)->setText("10");
    key(9, Qt::Key_Up);
    EXPECT_EQ(r.sent(), (Packets{write(9, 0x11), read1(9)}));
}

TEST_F(Panels, IndividualReadShowsTheChipsAnswerForAnyAddress) {
    panels().AddressBox()->setText("50");
    QTest::mouseClick(r.form->findChild<QPushButton*>("ReadRegCommand"), Qt::LeftButton);
    EXPECT_EQ(r.sent(), Packets{read1(0x50)});
    EXPECT_EQ(panels().DataBox()->text(), "FF");
    EXPECT_TRUE(r.prompts.messages.empty());
    panels().AddressBox()->setText("5");
    panels().ReadRegCommand_Click();
    EXPECT_EQ(panels().DataBox()->text(), QString::fromStdString(HexByte(r.sim.afe(5))));
    EXPECT_EQ(box(5)->text(), "  "); // no register box changes
}

TEST_F(Panels, IndividualWriteChecksBeforeSending) {
    auto* writeButton = r.form->findChild<QPushButton*>("WriteRegCommand");
    panels().AddressBox()->setText("50");
    panels().DataBox()->setText("12");
    QTest::mouseClick(writeButton, Qt::LeftButton);
    ASSERT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_EQ(r.prompts.messages[0].text,
              "AFE Address is out of range.  Valid address are 0x00 to 0x41");
    EXPECT_EQ(r.prompts.messages[0].title, "Address Error");
    for (const char* bad : {"", "G", "  "}) {
        panels().AddressBox()->setText(bad);
        QTest::mouseClick(writeButton, Qt::LeftButton);
    }
    panels().AddressBox()->setText("22");
    panels().DataBox()->setText("");
    QTest::mouseClick(writeButton, Qt::LeftButton);
    EXPECT_EQ(r.prompts.messages.size(), 5u);
    EXPECT_TRUE(r.sent().empty());

    panels().DataBox()->setText("a");
    QTest::mouseClick(writeButton, Qt::LeftButton);
    EXPECT_EQ(r.sent(), Packets{write(0x22, 0x0A)});
    EXPECT_EQ(box(34)->text(), "A"); // the text as typed (in capitals), no read back
    EXPECT_EQ(box(122)->text(), ""); // the mirror is not updated
}

TEST(PanelsPerformance, ReadAllUpdatesQuickly) {
    FormRig r;
    ASSERT_TRUE(r.start());
    r.sim.setLogging(false);
    RegisterPanels& panels = r.form->panels();
    panels.ReadAllRegisterButton_Click(); // warm up
    constexpr int kRuns = 20;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < kRuns; ++i)
        panels.ReadAllRegisterButton_Click();
    const double ms = static_cast<double>(t.nsecsElapsed()) / 1e6 / kRuns;
    std::printf("Read All Registers on the simulated board: %.3f ms per click\n", ms);
    EXPECT_LT(ms, 5.0);
}
