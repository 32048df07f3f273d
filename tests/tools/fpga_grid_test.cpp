// The FPGA register grid on the simulated board: write on the user's edits, read-all, and
// the single-register read and write, with the exact packets sent.
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "support/hex_packets.h"
#include "tools/fpga_grid.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;
using korva::test::hexPackets;

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

} // namespace

TEST(FpgaGrid, EveryEditToAHexValueIsWrittenAndNothingElse) {
    Rig r;
    QTest::keyClicks(r.cell(0x12), "AB");
    QTest::keyClick(r.cell(0x12), Qt::Key_Backspace); // "A" again: written again
    QTest::keyClick(r.cell(0x12), Qt::Key_Backspace); // empty: nothing
    QTest::keyClicks(r.cell(0x13), "1G");             // "1G" is no value: nothing
    QTest::keyClicks(r.cell(0x15), "f");              // lower case is still hex
    r.cell(40)->setText("7");                         // set by the program: shown only
    EXPECT_EQ(r.sent(), hexPackets("2F120A 2F12AB 2F120A 2F1301 2F150F"));
}

// Read-all reads registers 0..0x24 into their cells and writes nothing, not even a typed
// value it shows in another form; a failed read leaves its cell as it was.
TEST(FpgaGrid, ReadAllReadsIntoTheCellsAndFabricatesNothing) {
    Rig r;
    r.cell(3)->setText("AA");
    r.cell(40)->setText("7"); // beyond the read range: kept
    std::vector<int> progress, expectedProgress;
    QObject::connect(r.grid.ProgressBar2(), &QProgressBar::valueChanged,
                     [&](int v) { progress.push_back(v); });
    std::string reads;
    for (int i = 0; i <= 0x24; ++i) {
        reads += QString::asprintf("2E%02X ", i).toStdString();
        if (i > 0) expectedProgress.push_back(qRound(i * 100.0 / 36));
    }
    expectedProgress.push_back(0);
    r.sim.clearLog();
    r.sim.failTransfer(8, status::Io); // each read takes two transfers: register 3's reply
    r.click("ReadAllXilinxButton");
    EXPECT_EQ(r.sent(), hexPackets(reads));
    EXPECT_EQ(progress, expectedProgress);
    for (int i = 0; i <= 0x24; ++i)
        EXPECT_EQ(r.cell(i)->text(), i == 3 ? "AA" : QString::number(simValue(i), 16).toUpper());
    EXPECT_EQ(r.cell(37)->text() + r.cell(40)->text(), "7");

    QTest::keyClick(r.cell(5), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(r.cell(5), "05"); // "0" then "05": writes of 0x00 and 0x05
    r.sim.clearLog();
    r.click("ReadAllXilinxButton");
    EXPECT_EQ(r.sent(), hexPackets(reads));
    EXPECT_EQ(r.cell(5)->text(), "5");

    r.cell(1)->setText("42");
    r.sim.clearLog();
    r.sim.unplug();
    r.click("ReadAllXilinxButton");
    EXPECT_TRUE(r.sent().empty());
    EXPECT_EQ(r.cell(1)->text(), "42");
    EXPECT_TRUE(r.sink.codes.empty());
}

// Read FPGA reads its address leniently and shows hex without leading zeros; Write FPGA
// needs whole bytes. Neither touches the grid.
TEST(FpgaGrid, SingleReadAndWrite) {
    // write?, address, data (for a read: what it shows), what is sent, a piece of the warning
    const std::tuple<bool, const char*, const char*, const char*, const char*> rows[] = {
        {false, "", "B", "2E00", nullptr},       {false, "1f", "DC", "2E1F", nullptr},
        {false, "00FFzz", "0", "2EFF", nullptr}, // leading zeros and trailing text read past
        {false, "100", "0", "", "address"},      // wider than a byte
        {true, "1c", "E6", "2F1CE6", nullptr},   {true, "0FF", " 7 ", "2FFF07", nullptr},
        {true, "", "12", "", "address"},         {true, "1G", "12", "", "address"},
        {true, "100", "12", "", "address"},      {true, "12", "", "", "data"},
        {true, "12", "1FF", "", "data"},         {true, "12", "-1", "", "data"}};
    Rig r;
    r.sim.setFpga(0x00, 0x0B);
    r.sim.setFpga(0xFF, 0x00);
    for (const auto& [write, address, data, sent, warning] : rows) {
        SCOPED_TRACE(std::string(address) + " " + data);
        r.sim.clearLog();
        r.prompts.messages.clear();
        r.grid.FPGA_Address()->setText(address);
        if (write) r.grid.FPGA_Data()->setText(data);
        r.click(write ? "WriteByteXilinxButton" : "ReadByteXilinxButton");
        EXPECT_EQ(r.sent(), hexPackets(sent));
        EXPECT_EQ(r.grid.FPGA_Data()->text(), data);
        ASSERT_EQ(r.prompts.messages.size(), warning ? 1u : 0u);
        if (!warning) continue;
        EXPECT_EQ(r.prompts.messages[0].title, write ? "Write FPGA" : "Read FPGA");
        EXPECT_EQ(r.prompts.messages[0].icon, Prompts::Icon::Warning);
        EXPECT_TRUE(r.prompts.messages[0].text.contains(warning));
    }
    for (int i = 0; i < FpgaGrid::kCells; ++i)
        EXPECT_EQ(r.cell(i)->text(), "") << i;
    r.grid.FPGA_Address()->setText("1");
    r.sim.unplug(); // no value rather than the last one
    r.click("ReadByteXilinxButton");
    EXPECT_EQ(r.grid.FPGA_Data()->text(), "");
    EXPECT_TRUE(r.sink.codes.empty());
}
