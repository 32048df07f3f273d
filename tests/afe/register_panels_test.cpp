// The register panels in the real main window on the simulated board: Read All, keys and
// paste in the boxes, mirrors, ganging and the individual read/write.
#include "afe/register_panels.h"
#include "device/textnum.h"
#include "support/form_rig.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;
using namespace korva::test;

namespace {

const auto writeAfe = [](int a, int v) { return packet({0x23, std::uint8_t(a), std::uint8_t(v)}); };
const auto readAfe = [](int a) { return packet({0x03, 0x4C, std::uint8_t(a), 0x01}); };
// `times` writes of one register, each with its read-back.
Packets wr(int a, int v, int times = 1) {
    Packets p;
    while (times--)
        p.insert(p.end(), {writeAfe(a, v), readAfe(a)});
    return p;
}
// A gang group's three writes, then their three read-backs.
Packets ganged(int first, int v) {
    return {writeAfe(first, v), writeAfe(first + 1, v), writeAfe(first + 2, v),
            readAfe(first),     readAfe(first + 1),     readAfe(first + 2)};
}

struct Panels : ::testing::Test {
    FormRig r;
    void SetUp() override { ASSERT_TRUE(r.start()); }
    QLineEdit* box(int i) { return r.form->reg_KORVA726(i); }
    RegisterPanels& panels() { return r.form->panels(); }
};

} // namespace

TEST_F(Panels, ReadAllUsesTwoBurstsAndFillsEveryBoxAndMirror) {
    EXPECT_FALSE(box(2)->isEnabled()); // the read-only registers cannot be typed into
    EXPECT_TRUE(box(3)->isEnabled());
    QSignalSpy progress(panels().ProgressBar1(), &QProgressBar::valueChanged);
    QTest::mouseClick(panels().ReadAllRegisterButton(), Qt::LeftButton);
    EXPECT_EQ(r.sent(),
              (Packets{packet({0x03, 0x4C, 0x00, 0x40}), packet({0x03, 0x4C, 0x40, 0x02})}));
    for (int a = 0; a <= 0x41; ++a)
        EXPECT_EQ(box(a)->text(), QString::fromStdString(HexByte(r.sim.afe(a)))) << a;
    for (int a : {0x22, 0x23, 0x25}) // and the second boxes of these registers
        EXPECT_EQ(box(a + 88)->text(), box(a)->text()) << a;
    EXPECT_TRUE(progress.contains(QVariantList{100}));
    EXPECT_EQ(panels().ProgressBar1()->value(), 0);
    // A read that fails in its second burst shows nothing of the first.
    const QString before = box(3)->text();
    r.sim.setAfe(3, r.sim.afe(3) ^ 0xFF);
    r.sim.timeOutTransfer(4);
    panels().ReadAllRegisterButton_Click();
    EXPECT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_EQ(box(3)->text(), before);
}

// Each row on a freshly started window: a box's text, then keys typed into it (each release
// writes the box's text half a second later) or a stepping key (writes at once). Every box
// of a written register shows the read-back; with nothing written, the box shows `shows`.
TEST(PanelKeys, WhatEachKeyWritesAndShows) {
    using enum Qt::Key;
    const auto gain = &RegisterPanels::GangGain, offset = &RegisterPanels::GangOffset;
    const struct {
        const char* what;
        int box;
        const char* before; // null: as the box is at start
        const char* typed;
        int step;
        Packets sent;
        const char* shows;
        QCheckBox* (RegisterPanels::*gang)() const = nullptr;
        bool held = false; // the stepping key auto-repeats before its release
    } cases[] = {
        {"Down wraps", 3, "00", "", Key_Down, wr(3, 0xFF), "FF"},
        {"Up wraps", 3, "FF", "", Key_Up, wr(3, 0x00), "00"},
        {"PageUp", 4, "F5", "", Key_PageUp, wr(4, 0x05), "05"},
        {"PageDown", 4, "05", "", Key_PageDown, wr(4, 0xF5), "F5"},
        {"Left", 4, "F5", "", Key_Left, wr(4, 0xF6), "F6"},
        {"Right", 4, "F6", "", Key_Right, wr(4, 0xF5), "F5"},
        {"held key steps once", 4, "F5", "", Key_Up, wr(4, 0xF6), "F6", nullptr, true},
        {"blank box does not step", 5, nullptr, "", Key_Up, {}, "  "},
        {"typed digit, then the read-back", 3, "", "a", 0, wr(3, 0x0A), "0A"},
        {"other keys change nothing, each writes", 3, "0A", "g\b ", 0, wr(3, 0x0A, 3), "0A"},
        {"two digits at most, text at write time", 3, "", "123", 0, wr(3, 0x12, 3), "12"},
        {"typed into blanks never read", 6, nullptr, "80", 0, wr(6, 0x80, 2), "80"},
        {"no digit writes nothing", 16, nullptr, "g", 0, {}, ""},
        {"ganged, typed into blanks", 8, nullptr, "8", 0, ganged(6, 8), "08", gain},
        {"ganged without a digit", 10, nullptr, " ", 0, {}, "  ", offset},
        {"ganged gain steps all three", 7, "7F", "", Key_Up, ganged(6, 0x80), "80", gain},
        {"gang of another group", 9, "10", "", Key_Up, wr(9, 0x11), "11", gain},
        {"mirror box", 122, "3C", "", Key_Up, wr(0x22, 0x3D), "3D"},
        {"mirrored box", 34, "", "5", 0, wr(0x22, 0x05), "05"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FormRig r;
        ASSERT_TRUE(r.start());
        r.form->ShowHiddenModes(); // the Test Registers tab, where box 34 is
        RegisterPanels& panels = r.form->panels();
        if (c.gang) (panels.*c.gang)()->setChecked(true);
        QLineEdit* box = panels.reg_KORVA726(c.box);
        if (c.before) box->setText(c.before);
        if (*c.typed) {
            QTest::keyClicks(box, c.typed);
            QTest::qWait(RegisterPanels::kWriteDelayMs - 200);
            EXPECT_TRUE(r.sent().empty()) << "written before the delay";
            QTest::qWait(350);
        }
        // A held key: X11 sends a release with every auto-repeat; only the last one counts.
        for (int i = 0; c.step && i <= 2 * c.held; ++i) {
            QTest::simulateEvent(box, true, c.step, {}, {}, i > 0);
            QTest::simulateEvent(box, false, c.step, {}, {}, i < 2 * c.held);
        }
        EXPECT_EQ(r.sent(), c.sent);
        EXPECT_EQ(box->text().toStdString(), c.shows);
        // Every box of a written register shows the read-back (122, 123 and 125 repeat 0x22,
        // 0x23 and 0x25).
        for (const auto& p : c.sent)
            for (int b : {int(p[1]), p[1] + 88})
                if (p[0] == 0x23 && panels.reg_KORVA726(b)) {
                    EXPECT_EQ(panels.reg_KORVA726(b)->text().toStdString(), c.shows) << "box " << b;
                }
    }
}

TEST_F(Panels, ReleasesInTwoBoxesEachWriteTheirOwnBox) {
    box(3)->clear();
    box(4)->clear();
    QTest::keyClicks(box(3), "1");
    QTest::keyClicks(box(4), "2");
    QTest::qWait(RegisterPanels::kWriteDelayMs + 150);
    EXPECT_EQ(r.sent(), (Packets{writeAfe(3, 1), readAfe(3), writeAfe(4, 2), readAfe(4)}));
}

TEST_F(Panels, MovingThroughTheBoxesWithTabWritesNothing) {
    // The Tab that moves the focus into a box is released there: no key of that box. Before
    // any read, then with every box holding a value.
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 4; i < 16; ++i) {
            box(i)->setFocus();
            QTest::keyPress(box(i), Qt::Key_Tab);
            QTest::keyRelease(box(i + 1), Qt::Key_Tab);
        }
        QTest::qWait(RegisterPanels::kWriteDelayMs + 150);
        EXPECT_TRUE(r.sent().empty()) << pass;
        panels().ReadAllRegisterButton_Click();
        r.sim.clearLog();
    }
}

TEST_F(Panels, PastedTextPassesTheKeyFilter) {
    const struct {
        const char *before, *pasted, *after;
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

// The individual read takes any address; the write checks its boxes before sending.
TEST_F(Panels, IndividualReadAndWrite) {
    const struct {
        const char *button, *address, *data; // data: typed before Write, shown after Read
        Packets sent;
        const char* message;
    } cases[] = {
        {"ReadRegCommand", "50", "FF", {readAfe(0x50)}, ""},
        {"ReadRegCommand", "5", "5C", {readAfe(0x05)}, ""},
        {"WriteRegCommand",
         "50",
         "12",
         {},
         "AFE Address is out of range.  Valid address are 0x00 to 0x41"},
        {"WriteRegCommand", "", "12", {}, "The address \"\" is not"},
        {"WriteRegCommand", "G", "12", {}, "The address \"G\" is not"},
        {"WriteRegCommand", "22", "", {}, "The data \"\" is not"},
        {"WriteRegCommand", "22", "a", {writeAfe(0x22, 0x0A)}, ""},
    };
    r.sim.setAfe(5, 0x5C);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.button) + " " + c.address);
        r.sim.clearLog();
        r.prompts.messages.clear();
        panels().AddressBox()->setText(c.address);
        panels().DataBox()->setText(c.button[0] == 'R' ? "" : c.data);
        QTest::mouseClick(r.form->findChild<QPushButton*>(c.button), Qt::LeftButton);
        EXPECT_EQ(r.sent(), c.sent);
        EXPECT_EQ(panels().DataBox()->text().toStdString(), c.data);
        ASSERT_EQ(r.prompts.messages.size(), *c.message ? 1u : 0u);
        EXPECT_TRUE(r.prompts.messages.empty() || r.prompts.messages[0].text.startsWith(c.message));
    }
    EXPECT_EQ(box(5)->text(), "  "); // a read changes no register box
    EXPECT_EQ(box(34)->text(), "A"); // a write shows the text as typed (in capitals), no read back
    EXPECT_EQ(box(122)->text(), ""); // and not in the mirror
}
