// The register panels in the real main window on the simulated board: Read All, keys and
// paste in the boxes, mirrors, ganging and the individual read/write.
#include "afe/widgets/register_panels.h"
#include "device/textnum.h"
#include "support/contrast.h"
#include "support/form_rig.h"
#include "support/hex_packets.h"

#include <QCheckBox>
#include <QClipboard>
#include <QPushButton>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace korva;
using namespace korva::test;

namespace {

// `times` writes of one register, each with its read-back.
Packets wr(int a, int v, int times = 1) {
    std::string text;
    while (times--)
        text += "23" + HexByte(a) + HexByte(v) + " 034C" + HexByte(a) + "01 ";
    return hexPackets(text);
}

struct Panels : ::testing::Test {
    FormRig r;
    void SetUp() override { ASSERT_TRUE(r.start()); }
    QLineEdit* box(int i) { return r.form->reg_KORVA726(i); }
    RegisterPanels& panels() { return r.form->panels(); }
};

} // namespace

// Until then no box shows a register's value, and the register view says so.
TEST_F(Panels, ReadAllUsesTwoBurstsAndFillsEveryBoxAndMirror) {
    for (int a = 0; a <= 0x41; ++a)
        EXPECT_FALSE(panels().boardValue(a)) << a;
    QTest::mouseClick(panels().ReadAllRegisterButton(), Qt::LeftButton);
    EXPECT_EQ(r.sent(), hexPackets("034C0040 034C4002"));
    for (int a = 0; a <= 0x41; ++a)
        EXPECT_TRUE(box(a)->text() == QString::fromStdString(HexByte(r.sim.afe(a))) &&
                    panels().boardValue(a) == r.sim.afe(a))
            << a;
    for (int a : {0x22, 0x23, 0x25}) // and the second boxes of these registers
        EXPECT_EQ(box(a + 88)->text(), box(a)->text()) << a;
    // A read that fails in its second burst shows nothing of the first.
    r.sim.setAfe(3, r.sim.afe(3) ^ 0xFF);
    r.sim.timeOutTransfer(4);
    panels().ReadAllRegisterButton_Click();
    EXPECT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_EQ(box(3)->text(), QString::fromStdString(HexByte(r.sim.afe(3) ^ 0xFF)));
}

// Each row on a freshly started window: a box's text, then keys typed into it (each release
// writes the box's text after the write delay, as it stands then) or a stepping key (writes
// at once). Every box
// of a written register shows the read-back; with nothing written, the box shows `shows`.
TEST(PanelKeys, WhatEachKeyWritesAndShows) {
    using enum Qt::Key;
    const struct {
        const char* what;
        int box, step;
        const char *before, *typed, *shows; // before: null, as the box is at start
        Packets sent;
        // Ganged: 'G' gain, 'O' offset. The stepping key is held: 1, repeats flagged as such;
        // 2, as X11 sends them.
        int gang = 0, held = 0;
    } cases[] = {
        {"Down wraps", 3, Key_Down, "00", "", "FF", wr(3, 0xFF)},
        {"a status box takes no key", 1, Key_Up, "5A", "12", "5A", {}},
        {"Up wraps", 3, Key_Up, "FF", "", "00", wr(3, 0x00)},
        {"PageUp", 4, Key_PageUp, "F5", "", "05", wr(4, 0x05)},
        {"PageDown", 4, Key_PageDown, "05", "", "F5", wr(4, 0xF5)},
        {"held key steps once", 4, Key_Up, "F5", "", "F6", wr(4, 0xF6), 0, 1},
        {"held key on X11 steps once", 4, Key_Up, "F5", "", "F6", wr(4, 0xF6), 0, 2},
        {"blank box does not step", 5, Key_Up, nullptr, "", "  ", {}},
        {"other keys change nothing, each writes", 3, 0, "0A", "g\b ", "0A", wr(3, 0x0A, 3)},
        // Each release writes the text as it stands after the delay.
        {"typed into blanks never read", 6, 0, nullptr, "80", "80", wr(6, 0x80, 2)},
        {"no digit writes nothing", 16, 0, nullptr, "g", "", {}},
        {"ganged, typed into blanks", 8, 0, nullptr, "8", "08",
         hexPackets("230608 230708 230808 034C0601 034C0701 034C0801"), 'G'},
        {"ganged without a digit", 10, 0, nullptr, " ", "  ", {}, 'O'},
        {"gang of another group", 9, Key_Up, "10", "", "11", wr(9, 0x11), 'G'},
        {"mirror box", 122, Key_Up, "3C", "", "3D", wr(0x22, 0x3D)},
        {"mirrored box, a small digit", 34, 0, "", "b", "0B", wr(0x22, 0x0B)},
    };
    // The stepping key's events, P a press and R a release, in lower case when flagged as a
    // repeat: pressed once; held, repeats flagged; held as an X server sends it: each repeat
    // a release and a press with one time stamp, none flagged, a repeat interval apart.
    const char* keyEvents[] = {"PR", "PrprpR", "PRPRPR"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FormRig r;
        ASSERT_TRUE(r.start());
        r.form->ShowHiddenModes(); // the Test Registers tab, where box 34 is
        RegisterPanels& panels = r.form->panels();
        if (c.gang) (c.gang == 'G' ? panels.GangGain() : panels.GangOffset())->setChecked(true);
        QLineEdit* box = panels.reg_KORVA726(c.box);
        if (c.before) box->setText(c.before);
        ASSERT_TRUE(r.activate());
        box->setFocus();
        QTest::keyClicks(box, c.typed);
        int time = 1000;
        for (const char* e = c.step ? keyEvents[c.held] : ""; *e; ++e) {
            const bool press = *e == 'P' || *e == 'p';
            QKeyEvent ev(press ? QEvent::KeyPress : QEvent::KeyRelease, c.step, {}, "", *e > 'Z');
            ev.setTimestamp(c.held == 2 ? time += 30 * !press : 0);
            QApplication::sendEvent(QApplication::focusWidget(), &ev);
        }
        if (c.held == 2) QTest::qWait(2 * RegisterBox::kRepeatWindowMs); // the X11 release
        r.settle();
        EXPECT_EQ(r.sent(), c.sent);
        EXPECT_EQ(box->text().toStdString(), c.shows);
        // And so does every box of a written register (122, 123 and 125 repeat 0x22, 0x23, 0x25).
        for (const auto& p : c.sent)
            for (QLineEdit* b : {panels.reg_KORVA726(p[1]), panels.reg_KORVA726(p[1] + 88)})
                EXPECT_TRUE(p[0] != 0x23 || !b || b->text().toStdString() == c.shows) << int(p[1]);
    }
}

// A release writes the box its key was pressed in: keys in two boxes write each box; the
// Tab that moves the focus into a box is released there and writes nothing (with the boxes
// as at start, then with every box holding a value).
TEST_F(Panels, ReleasesWriteTheBoxTheirKeyWasPressedIn) {
    QTest::keyClicks(box(5), "1"); // two boxes never read
    QTest::keyClicks(box(6), "2");
    r.settle();
    EXPECT_EQ(r.sent(), hexPackets("230501 034C0501 230602 034C0601"));
    for (bool read : {false, true}) {
        if (read) panels().ReadAllRegisterButton_Click();
        r.sim.clearLog();
        for (int i = 4; i < 16; ++i) {
            box(i)->setFocus();
            QTest::keyPress(box(i), Qt::Key_Tab);
            QTest::keyRelease(box(i + 1), Qt::Key_Tab);
        }
        r.settle();
        EXPECT_TRUE(r.sent().empty()) << read;
    }
}

// The status boxes (0x00 to 0x02) show what was read as readably as the other boxes.
TEST_F(Panels, StatusBoxesAreDrawnReadable) {
    panels().ReadAllRegisterButton_Click();
    for (int a : {0, 1, 2})
        EXPECT_GE(drawnContrast(box(a)), std::max(4.5, 0.9 * drawnContrast(box(3)))) << a;
}

TEST_F(Panels, PastedTextPassesTheKeyFilter) {
    // before, pasted, after: lower-case digits are raised, other characters dropped, and
    // more than two digits refused
    const char* rows[][3] = {{"", "\ta1 z\x01", "A1"}, {"", "123", ""}, {"12", "3", "12"}};
    for (const auto& [before, pasted, after] : rows) {
        box(3)->setText(before);
        QGuiApplication::clipboard()->setText(pasted);
        QTest::keyClick(box(3), Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(box(3)->text(), after) << pasted;
    }
}

// The individual read takes any address; the write checks its boxes before sending.
TEST_F(Panels, IndividualReadAndWrite) {
    const char* cases[][5] = {
        // button, address, data (typed before Write, shown after Read), sent, message
        {"ReadRegCommand", "50", "FF", "034C5001", ""},
        {"ReadRegCommand", "5", "5C", "034C0501", ""},
        {"WriteRegCommand", "42", "12", "", "AFE Address is out of range."},
        {"WriteRegCommand", "G", "12", "", "The address \"G\" is not"},
        {"WriteRegCommand", "22", "", "", "The data \"\" is not"},
        {"WriteRegCommand", "22", "a", "23220A", ""},
    };
    r.sim.setAfe(5, 0x5C);
    for (const auto& [button, address, data, sent, message] : cases) {
        SCOPED_TRACE(std::string(button) + " " + address);
        r.sim.clearLog(), r.prompts.messages.clear();
        panels().AddressBox()->setText(address);
        panels().DataBox()->setText(button[0] == 'R' ? "" : data);
        QTest::mouseClick(r.form->findChild<QPushButton*>(button), Qt::LeftButton);
        EXPECT_EQ(r.sent(), hexPackets(sent));
        EXPECT_EQ(panels().DataBox()->text().toStdString(), data);
        ASSERT_EQ(r.prompts.messages.size(), *message ? 1u : 0u);
        EXPECT_TRUE(r.prompts.messages.empty() || r.prompts.messages[0].text.startsWith(message));
    }
    EXPECT_EQ(box(34)->text(), "A"); // a write shows the text as typed (in capitals), no read back
}
