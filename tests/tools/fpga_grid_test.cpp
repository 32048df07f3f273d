// The FPGA register grid on the simulated board: write on change, read-all, and the
// single-register read and write, with the exact packets sent.
#include "device/board.h"
#include "device/sim_board.h"
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "support/recording_sink.h"
#include "tools/fpga_grid.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;
using korva::test::packet;
using korva::test::Packets;

namespace {

struct Rig : test::BoardRig {
    test::FakePrompts prompts;
    FpgaGrid grid{board, prompts};

    Rig() {
        for (int i = 0; i < 256; ++i)
            sim.setFpga(i, static_cast<std::uint8_t>(i * 7 + 3));
    }
    QLineEdit* cell(int i) { return grid.XilinxReg(i); }
    template <class T> T* child(const char* name) { return grid.findChild<T*>(name); }
};

std::uint8_t simValue(int i) {
    return static_cast<std::uint8_t>(i * 7 + 3);
}

QString hexText(int v) {
    return QString::number(v, 16).toUpper();
}

} // namespace

TEST(FpgaGrid, ControlsAndNothingSentAtStart) {
    Rig r;
    for (int i = 0; i < FpgaGrid::kCells; ++i) {
        QLineEdit* c = r.child<QLineEdit>(qPrintable(QString("XilinxReg_%1").arg(i)));
        ASSERT_NE(c, nullptr) << i;
        EXPECT_EQ(c, r.cell(i));
        EXPECT_EQ(c->maxLength(), 2);
        EXPECT_TRUE(c->text().isEmpty());
    }
    EXPECT_EQ(r.cell(28)->accessibleName(), "FPGA register 0x1C");
    EXPECT_EQ(r.cell(5)->accessibleName(), "FPGA register 0x05");
    // Row 1 starts under column 0 of row 0, one row lower.
    EXPECT_EQ(r.cell(16)->x(), r.cell(0)->x());
    EXPECT_GT(r.cell(16)->y(), r.cell(0)->y());
    EXPECT_GT(r.cell(1)->x(), r.cell(0)->x());
    EXPECT_EQ(r.child<QLabel>("XilinxHorizontalLabel")->text(),
              "  00    01    02    03    04    05    06    07    08    09    0a    0b    0c    0d"
              "    0e    0f");
    EXPECT_EQ(r.child<QLabel>("Row1")->text(), "1");
    EXPECT_EQ(r.child<QLabel>("Row2")->text(), "2");
    EXPECT_EQ(r.child<QLabel>("XilinxByteAddress")->text(), "Address");
    EXPECT_EQ(r.child<QLabel>("XilinxByteData")->text(), "Data");
    EXPECT_EQ(r.child<QPushButton>("ReadAllXilinxButton")->text(), "Read All FPGA Registers");
    EXPECT_EQ(r.child<QPushButton>("ReadByteXilinxButton")->text(), "Read FPGA");
    EXPECT_EQ(r.child<QPushButton>("WriteByteXilinxButton")->text(), "Write FPGA");
    auto* bar = r.child<QProgressBar>("ProgressBar2");
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_NE(r.child<QLineEdit>("FPGA_Address"), nullptr);
    EXPECT_NE(r.child<QLineEdit>("FPGA_Data"), nullptr);
    EXPECT_TRUE(r.sim.log().empty());
}

TEST(FpgaGridCell, EveryTypedChangeWritesOnlyHexValues) {
    Rig r;
    QTest::keyClicks(r.cell(0x12), "AB");
    QTest::keyClick(r.cell(0x12), Qt::Key_Backspace); // "A" again: written again
    QTest::keyClick(r.cell(0x12), Qt::Key_Backspace); // empty: nothing
    QTest::keyClicks(r.cell(0x13), "1G");             // "1G" is no value: nothing
    QTest::keyClicks(r.cell(0x14), "x");
    QTest::keyClicks(r.cell(0x15), "f"); // lower case is still hex
    EXPECT_EQ(r.sent(), (Packets{packet({0x2F, 0x12, 0x0A}), packet({0x2F, 0x12, 0xAB}),
                                 packet({0x2F, 0x12, 0x0A}), packet({0x2F, 0x13, 0x01}),
                                 packet({0x2F, 0x15, 0x0F})}));
    EXPECT_EQ(r.sim.fpga(0x12), 0x0A);
}

TEST(FpgaGridCell, ProgramSetTextWritesButTheSameTextDoesNot) {
    Rig r;
    r.cell(40)->setText("7");
    r.cell(40)->setText("7");
    r.cell(47)->setText(" 1"); // a blank is not a hex digit
    r.cell(47)->setText("FF");
    EXPECT_EQ(r.sent(), (Packets{packet({0x2F, 40, 0x07}), packet({0x2F, 47, 0xFF})}));
}

TEST(FpgaGridReadAll, EmptyCellsAreReadAndWrittenBackInTurn) {
    Rig r;
    r.cell(40)->setText("7"); // beyond the read range: kept
    r.sim.clearLog();
    std::vector<int> progress;
    QObject::connect(r.grid.ProgressBar2(), &QProgressBar::valueChanged,
                     [&](int v) { progress.push_back(v); });

    r.grid.ReadAllXilinxButton_Click();

    Packets expected;
    std::vector<int> expectedProgress;
    for (int i = 0; i < FpgaGrid::kReadAllCount; ++i) {
        const auto a = static_cast<std::uint8_t>(i);
        expected.push_back(packet({0x2E, a}));
        expected.push_back(packet({0x2F, a, simValue(i)}));
        EXPECT_EQ(r.cell(i)->text(), hexText(simValue(i))) << i;
        if (i > 0) expectedProgress.push_back(qRound(i * 100.0 / 36));
    }
    expectedProgress.push_back(0);
    EXPECT_EQ(r.sent(), expected);
    EXPECT_EQ(progress, expectedProgress);
    EXPECT_EQ(expectedProgress[35], 100);
    EXPECT_EQ(r.cell(37)->text(), "");
    EXPECT_EQ(r.cell(40)->text(), "7");
    EXPECT_TRUE(r.sink.codes.empty());

    // A second read-all finds every text as it is: reads only.
    r.sim.clearLog();
    r.grid.ReadAllXilinxButton_Click();
    ASSERT_EQ(r.sent().size(), 37u);
    for (int i = 0; i < 37; ++i)
        EXPECT_EQ(r.sent()[static_cast<std::size_t>(i)],
                  packet({0x2E, static_cast<std::uint8_t>(i)}));
}

TEST(FpgaGridReadAll, TypedLeadingZeroIsReplacedAndWrittenBack) {
    Rig r;
    r.grid.ReadAllXilinxButton_Click();
    QTest::keyClick(r.cell(5), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(r.cell(5), "05"); // "0" then "05": two writes of 0x00 and 0x05
    r.sim.setFpga(5, 0x05);
    r.sim.clearLog();
    r.grid.ReadAllXilinxButton_Click();
    const Packets sent = r.sent();
    ASSERT_EQ(sent.size(), 38u);
    EXPECT_EQ(sent[5], packet({0x2E, 0x05}));
    EXPECT_EQ(sent[6], packet({0x2F, 0x05, 0x05}));
    EXPECT_EQ(r.cell(5)->text(), "5");
}

TEST(FpgaGridReadAll, FailedReadLeavesTheCellAndWritesNothing) {
    Rig r;
    r.cell(3)->setText("AA");
    r.sim.clearLog();
    // Registers 0..2 take four transfers each (read and write-back); the reply of
    // register 3's read is the 14th.
    r.sim.failTransfer(14, status::Io);
    r.grid.ReadAllXilinxButton_Click();
    const Packets sent = r.sent();
    ASSERT_EQ(sent.size(), 2u * 37 - 1);
    EXPECT_EQ(sent[6], packet({0x2E, 0x03}));
    EXPECT_EQ(sent[7], packet({0x2E, 0x04})); // no write of register 3
    EXPECT_EQ(r.cell(3)->text(), "AA");
    EXPECT_EQ(r.cell(4)->text(), hexText(simValue(4)));
    EXPECT_TRUE(r.sink.codes.empty());
}

TEST(FpgaGridReadAll, WithoutBoardNothingIsFabricated) {
    Rig r;
    r.cell(1)->setText("42");
    r.sim.clearLog();
    r.sim.unplug();
    r.grid.ReadAllXilinxButton_Click();
    EXPECT_TRUE(r.sent().empty());
    EXPECT_EQ(r.cell(0)->text(), "");
    EXPECT_EQ(r.cell(1)->text(), "42");
    EXPECT_TRUE(r.sink.codes.empty());
    EXPECT_EQ(r.grid.ProgressBar2()->value(), 0);
}

TEST(FpgaGridReadAll, StopsAfterAReportedWriteFailure) {
    Rig r;
    // Register 0's write-back (transfers 3 and 4) fails: reported once, then silence.
    r.sim.failTransfer(3, status::Pipe);
    r.grid.ReadAllXilinxButton_Click();
    EXPECT_EQ(r.sink.codes.size(), 1u);
    EXPECT_NE(r.sink.codes[0], 0);
    EXPECT_EQ(r.sent(), Packets{packet({0x2E, 0x00})});
    EXPECT_EQ(r.grid.ProgressBar2()->value(), 0);
}

TEST(FpgaGridSingle, ReadOneShowsHexWithoutLeadingZeros) {
    Rig r;
    r.sim.setFpga(0x00, 0x0B);
    r.sim.setFpga(0x1F, 0xE6);
    r.sim.setFpga(0xFF, 0x00);
    r.grid.ReadByteXilinxButton_Click(); // empty box: register 0
    EXPECT_EQ(r.grid.FPGA_Data()->text(), "B");
    r.grid.FPGA_Address()->setText("1f");
    QTest::mouseClick(r.child<QPushButton>("ReadByteXilinxButton"), Qt::LeftButton);
    EXPECT_EQ(r.grid.FPGA_Data()->text(), "E6");
    r.grid.FPGA_Address()->setText("00FFzz"); // leading zeros and trailing text are read past
    r.grid.ReadByteXilinxButton_Click();
    EXPECT_EQ(r.grid.FPGA_Data()->text(), "0");
    EXPECT_EQ(r.sent(),
              (Packets{packet({0x2E, 0x00}), packet({0x2E, 0x1F}), packet({0x2E, 0xFF})}));
    EXPECT_TRUE(r.prompts.messages.empty());
    for (int i = 0; i < 48; ++i)
        EXPECT_EQ(r.cell(i)->text(), "");
}

TEST(FpgaGridSingle, ReadOneRefusesWideAddressAndShowsNoValueOnFailure) {
    Rig r;
    r.grid.FPGA_Address()->setText("100");
    r.grid.ReadByteXilinxButton_Click();
    ASSERT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_EQ(r.prompts.messages[0].title, "Read FPGA");
    EXPECT_TRUE(r.sim.log().empty());

    r.grid.FPGA_Address()->setText("1");
    r.grid.FPGA_Data()->setText("old");
    r.sim.unplug();
    r.grid.ReadByteXilinxButton_Click();
    EXPECT_EQ(r.grid.FPGA_Data()->text(), "");
    EXPECT_TRUE(r.sink.codes.empty());
}

TEST(FpgaGridSingle, WriteOneSendsOnlyWholeBytes) {
    Rig r;
    auto write = [&](const QString& address, const QString& data) {
        r.grid.FPGA_Address()->setText(address);
        r.grid.FPGA_Data()->setText(data);
        QTest::mouseClick(r.child<QPushButton>("WriteByteXilinxButton"), Qt::LeftButton);
    };
    write("1c", "E6");
    write("0FF", " 7 ");
    EXPECT_EQ(r.sent(), (Packets{packet({0x2F, 0x1C, 0xE6}), packet({0x2F, 0xFF, 0x07})}));
    EXPECT_TRUE(r.prompts.messages.empty());
    EXPECT_EQ(r.cell(0x1C)->text(), ""); // the grid does not follow

    r.sim.clearLog();
    write("", "12");
    write("1G", "12");
    write("100", "12");
    write("12", "");
    write("12", "1FF");
    write("12", "-1");
    EXPECT_TRUE(r.sim.log().empty());
    ASSERT_EQ(r.prompts.messages.size(), 6u);
    for (const auto& m : r.prompts.messages) {
        EXPECT_EQ(m.title, "Write FPGA");
        EXPECT_EQ(m.icon, Prompts::Icon::Warning);
    }
    EXPECT_TRUE(r.prompts.messages[0].text.contains("address"));
    EXPECT_TRUE(r.prompts.messages[3].text.contains("data"));
}
