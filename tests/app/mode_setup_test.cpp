// Video mode setup through the real main window: the menu, the mode dialog, the DE
// generator and the grid working together on the simulated board.
#include "device/textnum.h"
#include "support/board_rig.h"
#include "support/form_rig.h"
#include "support/hex_packets.h"
#include "video/mode_setup.h"
#include "video/widgets/mode_dialog.h"

#include <QAction>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;
using namespace korva::test;

namespace {

struct ModeSetup : ::testing::Test {
    FormRig r;
    void SetUp() override {
        r.writeModeTable("Test modes\r\n\r\nNumber of modes: 03\r\nMode Z,100,200,10,20,300;\r\n"
                         "Mode A,230,1382,41,1065,1500;\r\nMode B,0,1,2,3,70000;too wide\r\n");
        ASSERT_TRUE(r.start());
    }
    // OK in the dialog, opened from the menu, with a mode and a connector chosen.
    Packets ok(int mode, int connector) {
        r.sim.clearLog();
        r.form->findChild<QAction*>("nVideoModeInput")->trigger();
        ModeDialog& d = r.form->dialog();
        d.findChild<QComboBox*>("Combo1")->setCurrentIndex(mode);
        d.findChild<QRadioButton*>(QString("InputConnectorSelect_%1").arg(connector))->click();
        QTest::mouseClick(d.findChild<QPushButton*>("OKButton"), Qt::LeftButton);
        return r.sent();
    }
};

} // namespace

// Mode Z on VGA 1: its DE values are new to the window's DE boxes, so every grid cell
// changes and is written, and Vstop re-reads the grid; then the direct writes and Read All.
// VGA 1 leaves the multiplexer and the sync separator alone.
TEST_F(ModeSetup, NewDeValuesFlowThroughTheGridThenAreWrittenDirectly) {
    // The mode that does not fit 16 bits was reported at start, once.
    EXPECT_TRUE(r.prompts.messages.size() == 1 && r.prompts.messages[0].text.contains("line 6"));
    std::string gridReads;
    for (int a = 0; a <= 0x24; ++a)
        gridReads += " 2E" + HexByte(std::uint8_t(a));
    const std::string de = "2F1C00 2F1D64 2F1E00 2F1FC8 2F2000 2F210A 2F2200 2F2314 ";
    EXPECT_EQ(ok(0, 0), hexPackets(de + gridReads + " " + de +
                                   "230E01 230F2C 230500 2F1B01 034C0040 034C4002"));
}

// Every connector, Mode Z and Mode A in turn: the board ends as the core set-up leaves it,
// and the CSC button says whether the converter is on.
TEST_F(ModeSetup, DialogOkAndTheCoreSetUpLeaveTheSameBoard) {
    test::BoardRig core;
    for (int connector = 0; connector < kConnectorCount; ++connector) {
        SCOPED_TRACE(connector);
        ok(connector % 2, connector);
        const auto settings = ModeSettingsFromLine(
            r.form->dialog().ModeLines()[static_cast<std::size_t>(connector % 2)], connector, true);
        ASSERT_TRUE(settings && ApplyModeSetup(core.board, *settings).linkUp);
        for (int a = 0; a < 256; ++a) // the AFE's 66 registers and the FPGA's 256
            EXPECT_TRUE(r.sim.fpga(a) == core.sim.fpga(a) &&
                        (a >= SimBoard::kAfeRegisters || r.sim.afe(a) == core.sim.afe(a)))
                << a;
        EXPECT_EQ(std::pair(r.sim.muxChannel(), r.sim.syncMode()),
                  std::pair(core.sim.muxChannel(), core.sim.syncMode()));
        EXPECT_TRUE(r.form->findChild<QPushButton*>("CSC")->text().endsWith(
            core.sim.fpga(0x1B) == 0x21 ? "Enabled" : "Disabled"));
    }
}
