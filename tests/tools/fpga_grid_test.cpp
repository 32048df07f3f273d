// The FPGA register grid on the simulated board: write on change, read-all, and the
// single-register read and write, with the exact packets sent.
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "tools/fpga_grid.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;
using korva::test::packet;
using korva::test::Packets;

namespace {

std::uint8_t simValue(int i) {
    return static_cast<std::uint8_t>(i * 7 + 3);
}

struct Rig : test::BoardRig {
    test::FakePrompts prompts;
    FpgaGrid grid{board, prompts};

    Rig() {
        for (int i = 0; i < 256; ++i)
            sim.setFpga(i, simValue(i));
    }
    QLineEdit* cell(int i) { return grid.XilinxReg(i); }
    void click(const char* name) {
        QTest::mouseClick(grid.findChild<QPushButton*>(name), Qt::LeftButton);
    }
};

QString hexText(int v) {
    return QString::number(v, 16).toUpper();
}

} // namespace

TEST(FpgaGridCell, EveryEditToAHexValueIsWritten) {
    Rig r;
    QTest::keyClicks(r.cell(0x12), "AB");
    QTest::keyClick(r.cell(0x12), Qt::Key_Backspace); // "A" again: written again
    QTest::keyClick(r.cell(0x12), Qt::Key_Backspace); // empty: nothing
    QTest::keyClicks(r.cell(0x13), "1G");             // "1G" is no value: nothing
    QTest::keyClicks(r.cell(0x15), "f");              // lower case is still hex
    r.cell(40)->setText("7");                         // set by the program: shown only
    EXPECT_EQ(r.sent(), (Packets{packet({0x2F, 0x12, 0x0A}), packet({0x2F, 0x12, 0xAB}),
                                 packet({0x2F, 0x12, 0x0A}), packet({0x2F, 0x13, 0x01}),
                                 packet({0x2F, 0x15, 0x0F})}));
    EXPECT_EQ(r.sim.fpga(0x12), 0x0A);
    EXPECT_EQ(r.cell(0x12)->maxLength(), 2);
}

TEST(FpgaGridReadAll, ReadsIntoTheCellsAndWritesNothing) {
    Rig r;
    r.cell(40)->setText("7"); // beyond the read range: kept
    r.sim.clearLog();
    std::vector<int> progress;
    QObject::connect(r.grid.ProgressBar2(), &QProgressBar::valueChanged,
                     [&](int v) { progress.push_back(v); });
    r.click("ReadAllXilinxButton");

    Packets expected;
    std::vector<int> expectedProgress;
    for (int i = 0; i <= 0x24; ++i) {
        const auto a = static_cast<std::uint8_t>(i);
        expected.push_back(packet({0x2E, a}));
        EXPECT_EQ(r.cell(i)->text(), hexText(simValue(i))) << i;
        if (i > 0) expectedProgress.push_back(qRound(i * 100.0 / 36));
    }
    expectedProgress.push_back(0);
    EXPECT_EQ(r.sent(), expected);
    EXPECT_EQ(progress, expectedProgress);
    EXPECT_EQ(r.cell(37)->text(), "");
    EXPECT_EQ(r.cell(40)->text(), "7");
    EXPECT_TRUE(r.sink.codes.empty());
}

TEST(FpgaGridReadAll, TypedLeadingZeroIsReplacedWithoutWritingBack) {
    Rig r;
    r.grid.ReadAllXilinxButton_Click();
    QTest::keyClick(r.cell(5), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(r.cell(5), "05"); // "0" then "05": two writes of 0x00 and 0x05
    r.sim.setFpga(5, 0x05);
    r.sim.clearLog();
    r.grid.ReadAllXilinxButton_Click();
    const Packets sent = r.sent();
    ASSERT_EQ(sent.size(), 37u);
    EXPECT_EQ(sent[5], packet({0x2E, 0x05}));
    EXPECT_EQ(sent[6], packet({0x2E, 0x06}));
    EXPECT_EQ(r.cell(5)->text(), "5");
}

TEST(FpgaGridReadAll, FailuresFabricateNothing) {
    Rig r;
    r.cell(3)->setText("AA");
    r.sim.clearLog();
    // Each read takes two transfers: the reply of register 3's read is the 8th.
    r.sim.failTransfer(8, status::Io);
    r.grid.ReadAllXilinxButton_Click();
    EXPECT_EQ(r.sent().size(), 37u);
    EXPECT_EQ(r.cell(3)->text(), "AA");
    EXPECT_EQ(r.cell(4)->text(), hexText(simValue(4)));
    EXPECT_TRUE(r.sink.codes.empty());

    Rig none;
    none.cell(1)->setText("42");
    none.sim.clearLog();
    none.sim.unplug();
    none.grid.ReadAllXilinxButton_Click();
    EXPECT_TRUE(none.sent().empty());
    EXPECT_EQ(none.cell(0)->text(), "");
    EXPECT_EQ(none.cell(1)->text(), "42");
    EXPECT_TRUE(none.sink.codes.empty());
}

TEST(FpgaGridSingle, ReadOneShowsHexWithoutLeadingZeros) {
    Rig r;
    r.sim.setFpga(0x00, 0x0B);
    r.sim.setFpga(0xFF, 0x00);
    const std::pair<const char*, const char*> cases[] = {
        {"", "B"}, {"1f", "DC"}, {"00FFzz", "0"}}; // leading zeros and trailing text read past
    for (auto [address, shown] : cases) {
        r.grid.FPGA_Address()->setText(address);
        r.click("ReadByteXilinxButton");
        EXPECT_EQ(r.grid.FPGA_Data()->text(), shown) << address;
    }
    EXPECT_EQ(r.sent(),
              (Packets{packet({0x2E, 0x00}), packet({0x2E, 0x1F}), packet({0x2E, 0xFF})}));
    EXPECT_TRUE(r.prompts.messages.empty());
    EXPECT_EQ(r.cell(0x1F)->text(), ""); // the grid does not follow

    r.grid.FPGA_Address()->setText("100"); // wider than a byte: refused
    r.click("ReadByteXilinxButton");
    ASSERT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_EQ(r.sent().size(), 3u);
    r.grid.FPGA_Address()->setText("1");
    r.sim.unplug(); // no value rather than the last one
    r.click("ReadByteXilinxButton");
    EXPECT_EQ(r.grid.FPGA_Data()->text(), "");
    EXPECT_TRUE(r.sink.codes.empty());
}

TEST(FpgaGridSingle, WriteOneSendsOnlyWholeBytes) {
    Rig r;
    auto write = [&](const QString& address, const QString& data) {
        r.grid.FPGA_Address()->setText(address);
        r.grid.FPGA_Data()->setText(data);
        r.click("WriteByteXilinxButton");
    };
    write("1c", "E6");
    write("0FF", " 7 ");
    EXPECT_EQ(r.sent(), (Packets{packet({0x2F, 0x1C, 0xE6}), packet({0x2F, 0xFF, 0x07})}));
    EXPECT_TRUE(r.prompts.messages.empty());
    EXPECT_EQ(r.cell(0x1C)->text(), "");

    r.sim.clearLog();
    for (auto [address, data] : {std::pair{"", "12"},
                                 {"1G", "12"},
                                 {"100", "12"},
                                 {"12", ""},
                                 {"12", "1FF"},
                                 {"12", "-1"}})
        write(address, data);
    EXPECT_TRUE(r.sim.log().empty());
    ASSERT_EQ(r.prompts.messages.size(), 6u);
    for (const auto& m : r.prompts.messages) {
        EXPECT_EQ(m.title, "Write FPGA");
        EXPECT_EQ(m.icon, Prompts::Icon::Warning);
    }
    EXPECT_TRUE(r.prompts.messages[0].text.contains("address"));
    EXPECT_TRUE(r.prompts.messages[3].text.contains("data"));
}
