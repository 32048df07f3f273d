// The FPGA register grid on the simulated board: write on the user's edits, read-all, and
// the single-register read and write, with the exact packets sent.
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "support/hex_packets.h"
#include "fpga/widgets/fpga_grid.h"

#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;

namespace {

struct Rig : test::BoardRig {
    test::FakePrompts prompts;
    FpgaGrid grid{board, prompts};

    QLineEdit* cell(int i) { return grid.XilinxReg(i); }
    // What a click on the button sends.
    test::Packets click(const char* name) {
        sim.clearLog();
        QTest::mouseClick(grid.findChild<QWidget*>(name), Qt::LeftButton);
        return sent();
    }
};

} // namespace

// Every edit to a hex value is written. Read-all reads registers 0..0x24 into their cells
// and writes nothing, not even a typed value it shows in another form ("05" becomes "5");
// a failed read leaves its cell as it was.
TEST(FpgaGrid, EditsAreWrittenAndReadAllFabricatesNothing) {
    Rig r;
    QTest::keyClicks(r.cell(0x12), "AB");
    QTest::keyClick(r.cell(0x12), Qt::Key_Backspace); // "A" again: written again
    QTest::keyClick(r.cell(0x12), Qt::Key_Backspace); // empty: nothing
    QTest::keyClicks(r.cell(0x13), "1G");             // "1G" is no value: nothing
    QTest::keyClicks(r.cell(0x15), "f");              // lower case is still hex
    QTest::keyClicks(r.cell(5), "05");
    r.cell(3)->setText("AA"); // set by the program: shown only
    r.cell(40)->setText("7"); // and beyond the read range: kept
    EXPECT_EQ(r.sent(), test::hexPackets("2F120A 2F12AB 2F120A 2F1301 2F150F 2F0500 2F0505"));
    std::string reads; // and registers 0..0x24 hold values of their own
    for (int i = 0; i <= 0x24; ++i)
        reads += QString::asprintf("2E%02X ", i).toStdString(), r.sim.setFpga(i, i * 7 + 3);
    r.sim.failTransfer(8, status::Io); // each read takes two transfers: register 3's reply
    EXPECT_EQ(r.click("ReadAllXilinxButton"), test::hexPackets(reads));
    for (int i = 0; i <= 0x24; ++i)
        EXPECT_EQ(r.cell(i)->text(), i == 3 ? "AA" : QString::number(r.sim.fpga(i), 16).toUpper());
    EXPECT_EQ(r.cell(37)->text() + r.cell(40)->text(), "7");
    EXPECT_TRUE(r.sink.codes.empty());
}

// Read FPGA reads its address leniently and shows hex without leading zeros; Write FPGA
// needs whole bytes. Neither touches the grid; without a board, a read shows no value and
// read-all leaves the cells as they were.
TEST(FpgaGrid, SingleReadAndWrite) {
    // write?, address, data (for a read: what it shows), what is sent, a piece of the warning
    const std::tuple<bool, const char*, const char*, const char*, const char*> rows[] = {
        {false, "", "B", "2E00", nullptr},
        {false, "00ffzz", "0", "2EFF", nullptr}, // leading zeros and trailing text read past
        {false, "100", "0", "", "address"},      // wider than a byte
        {true, "0ff", " 7 ", "2FFF07", nullptr},
        {true, "", "12", "", "address"},
        {true, "1G", "12", "", "address"},
        {true, "100", "12", "", "address"},
        {true, "12", "", "", "data"},
        {true, "12", "1FF", "", "data"}};
    Rig r;
    r.sim.setFpga(0x00, 0x0B);
    r.sim.setFpga(0xFF, 0x00);
    for (const auto& [write, address, data, sent, warning] : rows) {
        SCOPED_TRACE(std::string(address) + " " + data);
        r.prompts.messages.clear();
        r.grid.FPGA_Address()->setText(address);
        if (write) r.grid.FPGA_Data()->setText(data);
        EXPECT_EQ(r.click(write ? "WriteByteXilinxButton" : "ReadByteXilinxButton"),
                  test::hexPackets(sent));
        EXPECT_EQ(r.grid.FPGA_Data()->text(), data);
        ASSERT_EQ(r.prompts.messages.size(), warning ? 1u : 0u);
        EXPECT_TRUE(!warning || (r.prompts.messages[0].icon == Prompts::Icon::Warning &&
                                 r.prompts.messages[0].text.contains(warning)));
    }
    r.sim.unplug();
    EXPECT_TRUE(r.click("ReadAllXilinxButton").empty());
    r.click("ReadByteXilinxButton");
    EXPECT_EQ(r.grid.FPGA_Data()->text(), "");
    for (int i = 0; i < FpgaGrid::kCells; ++i)
        EXPECT_EQ(r.cell(i)->text(), "") << i;
    EXPECT_TRUE(r.sink.codes.empty());
}
