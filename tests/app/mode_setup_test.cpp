// Video mode setup through the real main window: the mode dialog, the DE generator and
// the grid working together on the simulated board.
#include "support/board_rig.h"
#include "support/form_rig.h"
#include "tools/fpga_grid.h"
#include "video/de_generator.h"
#include "video/mode_dialog.h"
#include "video/mode_setup.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
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

std::vector<std::uint8_t> fpgaWrite(int a, int v) {
    return packet({0x2F, std::uint8_t(a), std::uint8_t(v)});
}

struct ModeSetup : ::testing::Test {
    FormRig r;
    void SetUp() override {
        r.writeModeTable(kTable);
        ASSERT_TRUE(r.start());
    }
    ModeDialog& dialog() { return r.form->dialog(); }
    template <typename T> T* dlg(const char* name) { return dialog().findChild<T*>(name); }
};

} // namespace

TEST_F(ModeSetup, MenuShowsTheDialogWithTheSecondModeSelected) {
    EXPECT_FALSE(dialog().isVisible());
    r.form->findChild<QAction*>("nVideoModeInput")->trigger();
    EXPECT_TRUE(dialog().isVisible());
    auto* combo = dlg<QComboBox>("Combo1");
    ASSERT_EQ(combo->count(), 2); // the third line cannot be programmed and is not offered
    EXPECT_EQ(combo->currentIndex(), 1);
    EXPECT_EQ(combo->currentText(), "Mode A");
    combo->setCurrentIndex(0);
    QTest::mouseClick(dlg<QPushButton>("CancelButton"), Qt::LeftButton);
    EXPECT_FALSE(dialog().isVisible());
    EXPECT_EQ(combo->currentIndex(), 1);
    EXPECT_TRUE(r.sent().empty());
}

TEST_F(ModeSetup, WorkedExampleProgramsTheBoardInOrder) {
    r.form->nVideoModeInput_Click();
    dlg<QRadioButton>("InputConnectorSelect_3")->click(); // Component 2
    ASSERT_TRUE(dlg<QCheckBox>("AutoEnableCSC")->isChecked());
    // The boxes already show the mode's values: the grid has nothing to follow, and the
    // direct writes still happen.
    QTest::mouseClick(dlg<QPushButton>("OKButton"), Qt::LeftButton);
    const Packets expected{fpgaWrite(0x1C, 0x00),
                           fpgaWrite(0x1D, 0xE6),
                           fpgaWrite(0x1E, 0x05),
                           fpgaWrite(0x1F, 0x66),
                           fpgaWrite(0x20, 0x00),
                           fpgaWrite(0x21, 0x29),
                           fpgaWrite(0x22, 0x04),
                           fpgaWrite(0x23, 0x29),
                           packet({0x23, 0x0E, 0x05}),
                           packet({0x23, 0x0F, 0xDC}),
                           packet({0x23, 0x05, 0x0D}),
                           packet({0x28, 0x02}),
                           packet({0x25, 0x00}),
                           fpgaWrite(0x1B, 0x21),
                           packet({0x03, 0x4C, 0x00, 0x40}),
                           packet({0x03, 0x4C, 0x40, 0x02})};
    EXPECT_EQ(r.sent(), expected);
    EXPECT_FALSE(dialog().isVisible());
    EXPECT_EQ(r.form->reg_KORVA726(5)->text(), "0D");
    EXPECT_EQ(r.form->reg_KORVA726(14)->text(), "05");
    EXPECT_EQ(r.form->reg_KORVA726(15)->text(), "DC");
    EXPECT_EQ(r.form->findChild<QPushButton*>("CSC")->text(),
              "YPbPr to RGB CSC Is Currently Enabled");
    EXPECT_EQ(r.sim.muxChannel(), 2);
    EXPECT_EQ(r.sim.syncMode(), 0);
}

TEST_F(ModeSetup, NewDeValuesFlowThroughTheGridThenAreWrittenDirectly) {
    r.form->nVideoModeInput_Click();
    dlg<QComboBox>("Combo1")->setCurrentIndex(0);
    dlg<QRadioButton>("InputConnectorSelect_0")->click(); // VGA 1
    QTest::mouseClick(dlg<QPushButton>("OKButton"), Qt::LeftButton);
    DeGenerator& de = r.form->deGenerator();
    EXPECT_EQ(de.Hstart()->text(), "100");
    EXPECT_EQ(de.Vstop()->text(), "20");
    const Packets sent = r.sent();
    // Hstart 100: both cells change from empty, so both registers are written.
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0], fpgaWrite(0x1C, 0x00));
    EXPECT_EQ(sent[1], fpgaWrite(0x1D, 0x64));
    // Vstop re-reads the grid: 37 reads of registers 0x00..0x24, and no write-backs.
    int reads = 0;
    for (const auto& p : sent)
        reads += p[0] == 0x2E;
    EXPECT_EQ(reads, 37);
    EXPECT_EQ(sent.size(), 8u + 37 + 14);
    // The tail: direct writes, PLL total 300 = 01 2C, input config 00, converter off,
    // the register read; VGA 1 never touches the multiplexer or sync separator.
    const Packets tail(sent.end() - 14, sent.end());
    EXPECT_EQ(tail, (Packets{fpgaWrite(0x1C, 0), fpgaWrite(0x1D, 100), fpgaWrite(0x1E, 0),
                             fpgaWrite(0x1F, 200), fpgaWrite(0x20, 0), fpgaWrite(0x21, 10),
                             fpgaWrite(0x22, 0), fpgaWrite(0x23, 20), packet({0x23, 0x0E, 0x01}),
                             packet({0x23, 0x0F, 0x2C}), packet({0x23, 0x05, 0x00}),
                             fpgaWrite(0x1B, 0x01), packet({0x03, 0x4C, 0x00, 0x40}),
                             packet({0x03, 0x4C, 0x40, 0x02})}));
    for (const auto& p : sent)
        EXPECT_TRUE(p[0] != 0x28 && p[0] != 0x25);
}

TEST_F(ModeSetup, ModeOutsideSixteenBitsIsReportedOnceAtStartAndNotOffered) {
    ASSERT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_EQ(r.prompts.messages[0].icon, Prompts::Icon::Warning);
    EXPECT_TRUE(r.prompts.messages[0].text.contains("line 6"))
        << r.prompts.messages[0].text.toStdString();
    EXPECT_EQ(dlg<QComboBox>("Combo1")->findText("Mode B"), -1);
    EXPECT_TRUE(r.sent().empty());
}

TEST_F(ModeSetup, TypingIntoTheDeBoxWritesTheGridAsItGoes) {
    QLineEdit* hstop = r.form->deGenerator().Hstop();
    hstop->clear();
    r.sim.clearLog();
    hstop->setFocus();
    QTest::keyClicks(hstop, "1382");
    // 1 -> cells 0/1 (low changes 66 -> 1, high 5 -> 0), 13 -> D, 138 -> 8A, 1382 -> 5/66.
    EXPECT_EQ(r.sent(),
              (Packets{fpgaWrite(0x1F, 0x01), fpgaWrite(0x1F, 0x0D), fpgaWrite(0x1F, 0x8A),
                       fpgaWrite(0x1E, 0x05), fpgaWrite(0x1F, 0x66)}));
    EXPECT_EQ(r.form->fpgaGrid().XilinxReg(30)->text(), "5");
    EXPECT_EQ(r.form->fpgaGrid().XilinxReg(31)->text(), "66");
}

TEST_F(ModeSetup, DialogOkAndTheCoreSetUpLeaveTheSameBoard) {
    test::BoardRig core;
    auto* combo = dlg<QComboBox>("Combo1");
    for (int connector = 0; connector < kConnectorCount; ++connector) {
        SCOPED_TRACE(connector);
        combo->setCurrentIndex(connector % 2);
        dlg<QRadioButton>(("InputConnectorSelect_" + std::to_string(connector)).c_str())->click();
        dialog().OKButton_Click();
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
