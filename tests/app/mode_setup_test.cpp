// Video mode setup through the real main window: the mode dialog, the DE generator and
// the grid working together on the simulated board.
#include "support/board_rig.h"
#include "support/form_rig.h"
#include "video/mode_dialog.h"
#include "video/mode_setup.h"

#include <QAction>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;
using namespace korva::test;

namespace {

const QByteArray kTable = "Test modes\r\nfor the mode setup tests\r\nNumber of modes: 03\r\n"
                          "Mode Z,100,200,10,20,300;first\r\n"
                          "Mode A,230,1382,41,1065,1500;any note\r\n"
                          "Mode B,0,1,2,3,70000;too wide for the PLL\r\n";

const auto fpga = [](int a, int v) { return packet({0x2F, std::uint8_t(a), std::uint8_t(v)}); };
const auto afe = [](int a, int v) { return packet({0x23, std::uint8_t(a), std::uint8_t(v)}); };
const Packets kReadAll = {packet({0x03, 0x4C, 0x00, 0x40}), packet({0x03, 0x4C, 0x40, 0x02})};

// The DE generator's 16-bit values, high byte first, to FPGA registers 0x1C..0x23.
Packets deWrites(std::initializer_list<int> values) {
    Packets p;
    int reg = 0x1C;
    for (int v : values)
        for (int byte : {v >> 8, v & 0xFF})
            p.push_back(fpga(reg++, byte));
    return p;
}
Packets operator+(Packets a, const Packets& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct ModeSetup : ::testing::Test {
    FormRig r;
    void SetUp() override {
        r.writeModeTable(kTable);
        ASSERT_TRUE(r.start());
    }
    ModeDialog& dialog() { return r.form->dialog(); }
    template <typename T> T* dlg(const QString& name) { return dialog().findChild<T*>(name); }
    // OK in the dialog with a mode and a connector chosen: what went to the board.
    Packets ok(int mode, int connector) {
        r.form->nVideoModeInput_Click();
        dlg<QComboBox>("Combo1")->setCurrentIndex(mode);
        dlg<QRadioButton>(QString("InputConnectorSelect_%1").arg(connector))->click();
        QTest::mouseClick(dlg<QPushButton>("OKButton"), Qt::LeftButton);
        EXPECT_FALSE(dialog().isVisible());
        return r.sent();
    }
    QString csc() { return r.form->findChild<QPushButton*>("CSC")->text(); }
};

} // namespace

TEST_F(ModeSetup, MenuShowsTheDialogWithTheSecondModeSelectedAndCancelSendsNothing) {
    // The third mode does not fit 16 bits: it is reported once at start and not offered.
    ASSERT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_EQ(r.prompts.messages[0].icon, Prompts::Icon::Warning);
    EXPECT_TRUE(r.prompts.messages[0].text.contains("line 6"));
    r.form->findChild<QAction*>("nVideoModeInput")->trigger();
    EXPECT_TRUE(dialog().isVisible());
    auto* combo = dlg<QComboBox>("Combo1");
    EXPECT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->currentText(), "Mode A");
    combo->setCurrentIndex(0);
    QTest::mouseClick(dlg<QPushButton>("CancelButton"), Qt::LeftButton);
    EXPECT_FALSE(dialog().isVisible());
    EXPECT_EQ(combo->currentIndex(), 1);
    EXPECT_TRUE(r.sent().empty());
}

TEST_F(ModeSetup, WorkedExampleProgramsTheBoardInOrder) {
    // Mode A on Component 2: the DE boxes already show its values, so the grid has nothing
    // to follow; the direct writes still happen.
    EXPECT_EQ(ok(1, 3), (deWrites({230, 1382, 41, 1065}) +
                         Packets{afe(0x0E, 0x05), afe(0x0F, 0xDC), afe(0x05, 0x0D),
                                 packet({0x28, 0x02}), packet({0x25, 0x00}), fpga(0x1B, 0x21)} +
                         kReadAll));
    EXPECT_EQ(r.sim.muxChannel(), 2);
    EXPECT_EQ(r.sim.syncMode(), 0);
    EXPECT_TRUE(csc().endsWith("Enabled"));
}

TEST_F(ModeSetup, NewDeValuesFlowThroughTheGridThenAreWrittenDirectly) {
    // Mode Z on VGA 1: every grid cell changes from empty and is written, and Vstop re-reads
    // the grid; then the direct writes, PLL total 300 = 01 2C. VGA 1 leaves the multiplexer
    // and the sync separator alone.
    Packets gridReads;
    for (int a = 0; a <= 0x24; ++a)
        gridReads.push_back(packet({0x2E, std::uint8_t(a)}));
    const Packets de = deWrites({100, 200, 10, 20});
    EXPECT_EQ(ok(0, 0),
              (de + gridReads + de +
               Packets{afe(0x0E, 0x01), afe(0x0F, 0x2C), afe(0x05, 0x00), fpga(0x1B, 0x01)} +
               kReadAll));
    EXPECT_FALSE(r.sim.muxChannel() || r.sim.syncMode());
    EXPECT_TRUE(csc().endsWith("Disabled"));
}

TEST_F(ModeSetup, DialogOkAndTheCoreSetUpLeaveTheSameBoard) {
    test::BoardRig core;
    for (int connector = 0; connector < kConnectorCount; ++connector) {
        SCOPED_TRACE(connector);
        ok(connector % 2, connector);
        const auto settings = ModeSettingsFromLine(
            dialog().ModeLines()[static_cast<std::size_t>(connector % 2)], connector, true);
        ASSERT_TRUE(settings && ApplyModeSetup(core.board, *settings));
        for (int a = 0; a < SimBoard::kAfeRegisters; ++a)
            EXPECT_EQ(r.sim.afe(a), core.sim.afe(a)) << "AFE " << a;
        for (int a = 0; a < 256; ++a)
            EXPECT_EQ(r.sim.fpga(a), core.sim.fpga(a)) << "FPGA " << a;
        EXPECT_EQ(r.sim.muxChannel(), core.sim.muxChannel());
        EXPECT_EQ(r.sim.syncMode(), core.sim.syncMode());
    }
}
