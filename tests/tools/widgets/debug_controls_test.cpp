// The debug tabs' controls driven with key and mouse events against the simulated board.
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "support/hex_packets.h"
#include "tools/widgets/debug_controls.h"
#include "ui/register_views.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;

namespace {

// The controls on a board, with the register boxes' texts they read.
struct Rig : test::BoardRig, RegisterView {
    QTemporaryDir dir;
    test::FakePrompts prompts;
    QWidget debug1, debug3, frame5;
    QPushButton* downloadFpga = new QPushButton("DownloadFPGA", &frame5);
    std::array<std::string, 66> boxes;
    DebugControls controls{board, prompts, &debug1, &debug3, *this, downloadFpga, dir.path()};
    std::string boxText(int a) const override { return boxes.at(a); }
    std::optional<std::uint8_t> boardValue(int) const override { return {}; }
    void markDiffering(int, const std::string&) override {}
    void showValue(int, std::uint8_t) override {}
    bool readAll() override { return true; }

    explicit Rig(bool plugged = true) : BoardRig(plugged) {
        downloadFpga->hide(), frame5.show(), debug1.show(), debug3.show();
    }
    template <class W = QLineEdit> W* find(const char* name) {
        W* w = debug1.findChild<W*>(name);
        return w ? w : debug3.findChild<W*>(name);
    }
    void click(const char* name) { QTest::mouseClick(find<QWidget>(name), Qt::LeftButton); }
};

} // namespace

// The port boxes take hex digits in capitals, PORTA two, PORTE any number, and send nothing.
// Then each row: a box's new text (box nullptr: none), the button clicked, what is sent, a
// piece of the message shown (nullptr: none) and what the AFE data box shows then. The AFE
// address is read as the program reads numbers, rounded half to even; the boxes of 0x08,
// 0x00 and 0x01 give registers 6..8 a byte each.
TEST(DebugControls, PortBoxesFilterAndButtonsSendTheirPacketsOrSayWhyNot) {
    Rig r;
    for (auto [name, typed, shown] : {std::tuple{"PORTA_DATA", "ga-z9f", "A9"},
                                      std::tuple{"PORTE_DATA", "12x3bcd", "123BCD"}}) {
        r.find(name)->clear();
        QTest::keyClicks(r.find(name), typed);
        EXPECT_EQ(r.find(name)->text(), shown);
    }
    EXPECT_TRUE(r.sim.log().empty());
    const char *A = "AddressAFE", *no = nullptr, *e = "";
    const std::tuple<const char*, const char*, const char*, const char*, const char*, const char*>
        rows[] = {{"PORTA_DATA", "0F", "WritePORTA_CMD", "300F", no, e},
                  {"PORTB_DATA", "c", "WritePORTB_CMD", "400C", no, e},
                  {"PORTA_DATA", "", "WritePORTA_CMD", "", "PORTA is empty", e},
                  {"PORTB_DATA", "Z1", "WritePORTB_CMD", "", "\"Z1\"", e},
                  {no, no, "MuxChan2", "2802", no, e},
                  {no, no, "SQ7302Mode3", "2503", no, e},
                  {no, no, "WipeEEPROM", "80000000", no, e},
                  {no, no, "Command3", "044C060300053C", no, e},
                  {no, no, "Command4", "", "fpga_top.bit", e}, // no bitstream
                  {A, "&H10", "ReadAFE", "2210", no, "E6"},
                  {A, "11.5", "ReadAFE", "220C", no, "0"},
                  {A, "256", "ReadAFE", "", "\"256\" is not a register address", "0"},
                  {A, "-1", "ReadAFE", "", "\"-1\"", "0"}};
    r.sim.setAfe(0x10, 0xE6);
    r.boxes[0x08] = "", r.boxes[0x00] = "5", r.boxes[0x01] = "3C";
    for (const auto& [box, text, button, sent, message, afe] : rows) {
        SCOPED_TRACE(std::string(button) + " " + (text ? text : ""));
        r.sim.clearLog(), r.prompts.messages.clear();
        if (box) r.find(box)->setText(text);
        r.click(button);
        EXPECT_EQ(r.sent(), test::hexPackets(sent));
        ASSERT_EQ(r.prompts.messages.size(), message ? 1u : 0u);
        EXPECT_TRUE(!message || r.prompts.messages[0].text.contains(message));
        EXPECT_EQ(r.find("DataAFE")->text(), afe);
    }
    EXPECT_FALSE(QFile::exists(r.dir.filePath("fpga_top.bit")) || r.downloadFpga->isVisible());
}

// Without a board the AFE data box shows the opcode and nothing is reported; the downloads
// report the missing board once and leave no file behind.
TEST(DebugControls, WithoutABoardNothingIsSentAndNoFileLeftBehind) {
    Rig none(false);
    none.click("ReadAFE");
    EXPECT_EQ(none.find("DataAFE")->text(), "22");
    EXPECT_TRUE(none.sink.codes.empty());
    none.sim.clearLog();
    none.click("Command4");
    none.click("Download");
    EXPECT_EQ(none.sink.codes, (std::vector<std::int16_t>{0}));
    EXPECT_TRUE(none.sim.log().empty() && none.prompts.messages.empty());
    EXPECT_TRUE(QDir(none.dir.path()).isEmpty());
}
