// The debug tabs' controls driven with key and mouse events against the simulated board.
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "support/hex_packets.h"
#include "tools/debug_controls.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;
using korva::test::hexPackets;

namespace {

struct Rig : test::BoardRig {
    QTemporaryDir dir;
    test::FakePrompts prompts;
    QWidget debug1, debug3, frame5;
    QPushButton* downloadFpga = new QPushButton("DownloadFPGA", &frame5);
    QPushButton* command1 = new QPushButton("WipeEEPROM", &frame5);
    std::array<QString, 66> boxes;
    DebugControls controls{
        board,        prompts,  &debug1,   &debug3, [this](int k) { return boxes.at(k); },
        downloadFpga, command1, dir.path()};

    explicit Rig(bool plugged = true) : BoardRig(plugged) {
        frame5.show();
        downloadFpga->hide();
        debug1.show();
        debug3.show();
    }
    template <class W = QLineEdit> W* find(const char* name) {
        W* w = debug1.findChild<W*>(name);
        if (!w) w = debug3.findChild<W*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void click(const char* name) { QTest::mouseClick(find<QAbstractButton>(name), Qt::LeftButton); }
    bool checked(const char* name) { return find<QRadioButton>(name)->isChecked(); }
};

} // namespace

TEST(DebugControls, PortBoxesTakeHexDigitsInCapitals) {
    Rig r;
    // box, typed after clearing it, then shown: PORTA takes two characters, PORTE any number
    for (auto [name, typed, shown] : {std::tuple{"PORTA_DATA", "ga-z9f", "A9"},
                                      std::tuple{"PORTE_DATA", "12x3bcd", "123BCD"}}) {
        EXPECT_EQ(r.find(name)->text(), "00");
        r.find(name)->clear();
        QTest::keyClicks(r.find(name), typed);
        EXPECT_EQ(r.find(name)->text(), shown);
    }
    EXPECT_TRUE(r.sim.log().empty());
}

// Each row: a box's new text (box nullptr: none), the button clicked, what is sent, a piece
// of the message shown (nullptr: none) and what the AFE data box shows then.
TEST(DebugControls, ButtonsSendTheirPacketsOrSayWhyNot) {
    using Row =
        std::tuple<const char*, const char*, const char*, const char*, const char*, const char*>;
    const char *A = "AddressAFE", *no = nullptr, *e = "";
    const Row rows[] = {
        {"PORTA_DATA", "0F", "WritePORTA_CMD", "300F", no, e},
        {"PORTB_DATA", "c", "WritePORTB_CMD", "400C", no, e},
        {"PORTA_DATA", "", "WritePORTA_CMD", "", "PORTA is empty", e},
        {"PORTB_DATA", "Z1", "WritePORTB_CMD", "", "\"Z1\"", e},
        {no, no, "WritePORTC", "", no, e}, // these four have no action
        {no, no, "WritePORTD", "", no, e},
        {no, no, "WritePORTE", "", no, e},
        {no, no, "WriteAFE", "", no, e},
        {no, no, "MuxChan2", "2802", no, e},
        {no, no, "SQ7302Mode3", "2503", no, e},
        {no, no, "MuxChan0", "2800", no, e},
        {no, no, "WipeEEPROM", "80000000", no, e},
        {no, no, "Command2", "", no, e},
        {no, no, "Command4", "", "fpga_top.bit", e}, // no bitstream
        // The AFE address is read as the program reads numbers, rounded half to even.
        {A, "10", "ReadAFE", "220A", no, "5"},
        {A, "&H10", "ReadAFE", "2210", no, "E6"},
        {A, "&h10", "ReadAFE", "2210", no, "E6"},
        {A, "", "ReadAFE", "2200", no, "31"},
        {A, "10.5", "ReadAFE", "220A", no, "5"},
        {A, "11.5", "ReadAFE", "220C", no, "0"},
        {A, "7 x", "ReadAFE", "2207", no, "80"},
        {A, "256", "ReadAFE", "", "\"256\" is not a register address", "80"}, // beyond a byte
        {A, "-1", "ReadAFE", "", "\"-1\"", "80"},
        {A, "&H100", "ReadAFE", "", "\"&H100\"", "80"},
        {A, "1E9", "ReadAFE", "", "\"1E9\"", "80"}};
    Rig r;
    for (const char* name : {"MuxChan0", "MuxChan3", "SQ7302Mode0", "SQ7302Mode3"})
        EXPECT_FALSE(r.checked(name)) << name;
    r.sim.setAfe(0x0A, 0x05);
    r.sim.setAfe(0x10, 0xE6);
    for (const auto& [box, text, button, sent, message, afe] : rows) {
        SCOPED_TRACE(std::string(button) + " " + (text ? text : ""));
        r.sim.clearLog();
        r.prompts.messages.clear();
        if (box) r.find(box)->setText(text);
        r.click(button);
        EXPECT_EQ(r.sent(), hexPackets(sent));
        ASSERT_EQ(r.prompts.messages.size(), message ? 1u : 0u);
        EXPECT_TRUE(!message || r.prompts.messages[0].text.contains(message));
        EXPECT_EQ(r.find("DataAFE")->text(), afe);
    }
    EXPECT_FALSE(QFile::exists(r.dir.filePath("fpga_top.bit")));
    EXPECT_FALSE(r.downloadFpga->isVisible());
    EXPECT_TRUE(r.checked("MuxChan0") && r.checked("SQ7302Mode3")); // one per group
    EXPECT_FALSE(r.checked("MuxChan1") || r.checked("MuxChan2") || r.checked("MuxChan3"));

    r.sim.clearLog();
    emit r.command1->clicked(); // the hidden button of the User Registers frame wipes too
    // Registers 6..8 from the boxes of 0x08, 0x00 and 0x01, each box exactly one byte.
    for (auto [b08, b00, b01] : {std::tuple{"1A", "2B", "3C"}, std::tuple{"", "5", "3C"}}) {
        r.boxes[0x08] = b08, r.boxes[0x00] = b00, r.boxes[0x01] = b01;
        r.click("Command3");
    }
    EXPECT_EQ(r.sent(), hexPackets("80000000 044C06031A2B3C 044C060300053C"));
}

TEST(DebugControls, WithoutABoardNothingIsSentAndNoFileLeftBehind) {
    // Without a board the box shows the opcode and nothing is reported; the downloads
    // report the missing board once and leave no file behind.
    Rig none(false);
    none.click("ReadAFE");
    EXPECT_EQ(none.find("DataAFE")->text(), "22");
    EXPECT_TRUE(none.sink.codes.empty());
    none.sim.clearLog();
    none.click("Command4");
    none.click("Download");
    EXPECT_EQ(none.sink.codes, (std::vector<std::int16_t>{0}));
    EXPECT_TRUE(none.sim.log().empty());
    EXPECT_TRUE(QDir(none.dir.path()).isEmpty());
    EXPECT_TRUE(none.prompts.messages.empty());
}
