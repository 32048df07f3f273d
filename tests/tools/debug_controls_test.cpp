// The debug tabs' controls driven with key and mouse events against the simulated board.
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "tools/debug_controls.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;
using korva::test::packet;
using korva::test::Packets;

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
    template <class W = QWidget> W* find(const char* name) {
        W* w = debug1.findChild<W*>(name);
        if (!w) w = debug3.findChild<W*>(name);
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void click(const char* name) { QTest::mouseClick(find<QAbstractButton>(name), Qt::LeftButton); }
    void set(const char* box, const QString& text) { find<QLineEdit>(box)->setText(text); }
};

} // namespace

TEST(DebugControls, PortBoxesTakeHexDigitsInCapitals) {
    Rig r;
    auto* a = r.find<QLineEdit>("PORTA_DATA");
    EXPECT_EQ(a->text(), "00");
    a->clear();
    QTest::keyClicks(a, "ga-z9");
    EXPECT_EQ(a->text(), "A9");
    QTest::keyClicks(a, "f");
    EXPECT_EQ(a->text(), "A9");                // two characters at most
    auto* e = r.find<QLineEdit>("PORTE_DATA"); // no length limit, same filter
    e->clear();
    QTest::keyClicks(e, "12x3bcd");
    EXPECT_EQ(e->text(), "123BCD");
    EXPECT_TRUE(r.sim.log().empty());
}

TEST(DebugControls, PortWritesAndButtonsThatDoNothing) {
    Rig r;
    r.set("PORTA_DATA", "0F");
    r.click("WritePORTA_CMD");
    r.set("PORTB_DATA", "c");
    r.click("WritePORTB_CMD");
    EXPECT_EQ(r.sent(), (Packets{packet({0x30, 0x0F}), packet({0x40, 0x0C})}));
    EXPECT_EQ(r.sim.port('A'), 0x0F);

    r.sim.clearLog();
    const std::pair<const char*, const char*> idle[] = {{"WritePORTC", "Write PORTC"},
                                                        {"WritePORTD", "WritePORTD"},
                                                        {"WritePORTE", "Write PORTE"},
                                                        {"WriteAFE", "WriteByteAFE"}};
    for (auto [name, caption] : idle) {
        EXPECT_EQ(r.find<QAbstractButton>(name)->text(), caption);
        r.click(name);
    }
    EXPECT_TRUE(r.sim.log().empty());
    EXPECT_TRUE(r.prompts.messages.empty());

    // An empty box (or text that is no byte) sends nothing and says why.
    r.set("PORTA_DATA", "");
    r.click("WritePORTA_CMD");
    r.set("PORTB_DATA", "Z1");
    r.click("WritePORTB_CMD");
    EXPECT_TRUE(r.sim.log().empty());
    ASSERT_EQ(r.prompts.messages.size(), 2u);
    EXPECT_TRUE(r.prompts.messages[0].text.contains("PORTA is empty"));
    EXPECT_TRUE(r.prompts.messages[1].text.contains("\"Z1\""));
}

TEST(DebugControls, OptionButtonsSelectAndClearTheirGroup) {
    Rig r;
    for (const char* name : {"MuxChan0", "MuxChan3", "SQ7302Mode0", "SQ7302Mode3"})
        EXPECT_FALSE(r.find<QRadioButton>(name)->isChecked()) << name;
    r.click("MuxChan2");
    r.click("SQ7302Mode3");
    r.click("MuxChan0");
    EXPECT_EQ(r.sent(), (Packets{packet({0x28, 2}), packet({0x25, 3}), packet({0x28, 0})}));
    EXPECT_TRUE(r.find<QRadioButton>("MuxChan0")->isChecked());
    for (const char* name : {"MuxChan1", "MuxChan2", "MuxChan3"})
        EXPECT_FALSE(r.find<QRadioButton>(name)->isChecked()) << name;
    EXPECT_TRUE(r.find<QRadioButton>("SQ7302Mode3")->isChecked()); // the other group stays
}

TEST(DebugControls, DirectAfeReadAddressesAndDisplay) {
    Rig r;
    r.sim.setAfe(0x0A, 0x05);
    r.sim.setAfe(0x10, 0xE6);
    const std::tuple<const char*, int, const char*> cases[] = {
        {"10", 0x0A, "5"},   {"&H10", 0x10, "E6"}, {"&h10", 0x10, "E6"}, {"", 0x00, "31"},
        {"10.5", 0x0A, "5"}, {"11.5", 0x0C, "0"},  {"7 x", 0x07, "80"}};
    for (auto [text, address, shown] : cases) {
        r.sim.clearLog();
        r.set("AddressAFE", text);
        r.click("ReadAFE");
        EXPECT_EQ(r.sent(), Packets{packet({0x22, static_cast<std::uint8_t>(address)})}) << text;
        EXPECT_EQ(r.find<QLineEdit>("DataAFE")->text(), shown) << text;
    }
    // Beyond a byte: a message, nothing sent.
    r.sim.clearLog();
    for (const char* text : {"256", "-1", "&H100", "1E9"}) {
        r.set("AddressAFE", text);
        r.click("ReadAFE");
    }
    EXPECT_TRUE(r.sim.log().empty());
    EXPECT_EQ(r.prompts.messages.size(), 4u);

    // Without a board the box shows the opcode, and nothing is reported.
    Rig none(false);
    none.set("AddressAFE", "3");
    none.click("ReadAFE");
    EXPECT_EQ(none.find<QLineEdit>("DataAFE")->text(), "22");
    EXPECT_TRUE(none.sink.codes.empty());
}

TEST(DebugControls, BurstWriteAndDisplayCheck) {
    Rig r;
    r.boxes[0x08] = "1A";
    r.boxes[0x00] = "2B";
    r.boxes[0x01] = "3C";
    r.click("Command3");
    // A box with fewer than two digits still gives exactly its own byte.
    r.boxes[0x08] = "";
    r.boxes[0x00] = "5";
    r.click("Command3");
    EXPECT_EQ(r.sent(), (Packets{packet({0x04, 0x4C, 0x06, 0x03, 0x1A, 0x2B, 0x3C}),
                                 packet({0x04, 0x4C, 0x06, 0x03, 0x00, 0x05, 0x3C})}));
    r.sim.clearLog();
    r.click("Command2");
    EXPECT_EQ(r.find<QLineEdit>("Text1")->text(), "6");
    EXPECT_EQ(r.find<QLineEdit>("Text2")->text(), "1");
    EXPECT_EQ(r.find<QLineEdit>("Text3")->text(), "3");
    EXPECT_TRUE(r.sim.log().empty());
}

TEST(DebugControls, EepromWipeFromBothButtons) {
    Rig r;
    r.sim.setEeprom(0, 0x77);
    EXPECT_EQ(r.find<QAbstractButton>("WipeEEPROM")->text(), "Wipe EEPROM");
    r.click("WipeEEPROM");
    emit r.command1->clicked(); // the hidden button of the User Registers frame
    EXPECT_EQ(r.sent(), (Packets{packet({0x80, 0, 0, 0}), packet({0x80, 0, 0, 0})}));
    EXPECT_EQ(r.sim.eeprom(0), 0x00);
}

TEST(DebugControls, MissingBitstreamOrNoBoardSendsNothing) {
    Rig r;
    r.click("Command4");
    EXPECT_TRUE(r.sim.log().empty());
    ASSERT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_TRUE(r.prompts.messages[0].text.contains("fpga_top.bit"));
    EXPECT_FALSE(QFile::exists(r.dir.filePath("fpga_top.bit")));
    EXPECT_FALSE(r.downloadFpga->isVisible());

    Rig none(false);
    none.click("Command4");
    none.click("Download");
    EXPECT_EQ(none.sink.codes, (std::vector<std::int16_t>{0}));
    EXPECT_TRUE(none.sim.log().empty());
    EXPECT_TRUE(QDir(none.dir.path()).isEmpty());
    EXPECT_TRUE(none.prompts.messages.empty());
}
