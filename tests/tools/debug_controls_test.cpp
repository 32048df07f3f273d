// The debug tabs' controls driven with key and mouse events against the simulated board.
#include "device/sim_board.h"
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "support/recording_sink.h"
#include "tools/debug_controls.h"

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <fstream>

using namespace korva;
using korva::test::packet;
using korva::test::Packets;

namespace {

struct Rig : test::BoardRig {
    QTemporaryDir dir;
    test::FakePrompts prompts;
    QWidget debug1;
    QWidget debug3;
    QWidget frame5;
    QPushButton* downloadFpga = new QPushButton("DownloadFPGA", &frame5);
    QPushButton* command1 = new QPushButton("WipeEEPROM", &frame5);
    std::array<QString, 66> boxes;
    DebugControls controls{board,
                           prompts,
                           &debug1,
                           &debug3,
                           [this](int k) { return boxes.at(static_cast<std::size_t>(k)); },
                           downloadFpga,
                           command1,
                           dir.path()};

    explicit Rig(bool plugged = true) : BoardRig(plugged) {
        downloadFpga->setObjectName("DownloadFPGA");
        command1->setObjectName("Command1");
        frame5.show();
        downloadFpga->hide();
        command1->hide();
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
    void type(const char* box, const QString& keys) {
        auto* e = find<QLineEdit>(box);
        e->setFocus();
        QTest::keyClicks(e, keys);
    }
};

} // namespace

TEST(DebugControls, ControlsNamesCaptionsAndDefaults) {
    Rig r;
    const std::pair<const char*, const char*> buttons[] = {
        {"Command2", "Command2"},          {"Command3", "WriteBurst"},
        {"ReadAFE", "ReadByteAFE"},        {"WriteAFE", "WriteByteAFE"},
        {"WritePORTA_CMD", "Write PORTA"}, {"WritePORTB_CMD", "Write PORTB"},
        {"WritePORTC", "Write PORTC"},     {"WritePORTD", "WritePORTD"},
        {"WritePORTE", "Write PORTE"},     {"Download", "Download"},
        {"WipeEEPROM", "Wipe EEPROM"},     {"Command4", "Command4"},
        {"MuxChan0", "Channel 0"},         {"MuxChan3", "Channel 3"},
        {"SQ7302Mode0", "NTSC/PAL"},       {"SQ7302Mode1", "Tri Level"},
        {"SQ7302Mode2", "HDTV"},           {"SQ7302Mode3", "Computer RGB"}};
    for (auto [name, caption] : buttons) {
        if (auto* b = r.find<QAbstractButton>(name)) {
            EXPECT_EQ(b->text(), caption) << name;
        }
    }
    const std::tuple<const char*, const char*, int> boxes[] = {
        {"Text1", "Text1", 32767}, {"Text2", "Text2", 32767},  {"Text3", "Text3", 32767},
        {"Text5", "Text5", 32767}, {"AddressAFE", "", 32767},  {"DataAFE", "", 32767},
        {"PORTA_DATA", "00", 2},   {"PORTB_DATA", "00", 2},    {"PORTC_DATA", "00", 2},
        {"Text4", "00", 32767},    {"PORTE_DATA", "00", 32767}};
    for (auto [name, text, max] : boxes) {
        if (auto* e = r.find<QLineEdit>(name)) {
            EXPECT_EQ(e->text(), text) << name;
            EXPECT_EQ(e->maxLength(), max) << name;
        }
    }
    EXPECT_EQ(r.find<QLabel>("Label6")->text(), "PORTD");
    EXPECT_EQ(r.find<QGroupBox>("TM6185FRAME")->title(), "TM6185 Mux Select");
    EXPECT_EQ(r.find<QGroupBox>("SQ7302FRAME")->title(), "SQ7302 Mode Select");
    EXPECT_EQ(r.find<QPlainTextEdit>("txtLog")->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    // Option buttons stand 3, 2, 1, 0 from the top, none selected.
    auto* frame = r.find<QGroupBox>("TM6185FRAME");
    const auto options = frame->findChildren<QRadioButton*>();
    ASSERT_EQ(options.size(), 4);
    for (int k = 0; k < 4; ++k) {
        auto* upper = frame->findChild<QRadioButton*>(QString("MuxChan%1").arg(k + 1));
        auto* lower = frame->findChild<QRadioButton*>(QString("MuxChan%1").arg(k));
        if (upper) {
            EXPECT_LT(upper->y(), lower->y());
        }
        EXPECT_FALSE(lower->isChecked());
    }
    EXPECT_TRUE(r.sim.log().empty());
}

TEST(DebugControls, PortBoxesTakeHexDigitsInCapitals) {
    Rig r;
    auto* a = r.find<QLineEdit>("PORTA_DATA");
    a->clear();
    r.type("PORTA_DATA", "g");
    EXPECT_EQ(a->text(), "");
    r.type("PORTA_DATA", "a");
    EXPECT_EQ(a->text(), "A");
    r.type("PORTA_DATA", "-z9");
    EXPECT_EQ(a->text(), "A9");
    r.type("PORTA_DATA", "f");
    EXPECT_EQ(a->text(), "A9"); // two characters at most
    QTest::keyClick(a, Qt::Key_Backspace);
    EXPECT_EQ(a->text(), "A");
    auto* e = r.find<QLineEdit>("PORTE_DATA"); // no length limit, same filter
    e->clear();
    r.type("PORTE_DATA", "12x3bcd");
    EXPECT_EQ(e->text(), "123BCD");
}

TEST(DebugControls, PortWritesAndButtonsThatDoNothing) {
    Rig r;
    r.find<QLineEdit>("PORTA_DATA")->setText("0F");
    r.click("WritePORTA_CMD");
    r.find<QLineEdit>("PORTB_DATA")->setText("c");
    r.click("WritePORTB_CMD");
    EXPECT_EQ(r.sent(), (Packets{packet({0x30, 0x0F}), packet({0x40, 0x0C})}));
    EXPECT_EQ(r.sim.port('A'), 0x0F);

    r.sim.clearLog();
    for (const char* name : {"WritePORTC", "WritePORTD", "WritePORTE", "WriteAFE"})
        r.click(name);
    EXPECT_TRUE(r.sim.log().empty());
    EXPECT_TRUE(r.prompts.messages.empty());

    // An empty box (or text that is no byte) sends nothing and says why.
    r.find<QLineEdit>("PORTA_DATA")->clear();
    r.click("WritePORTA_CMD");
    r.find<QLineEdit>("PORTB_DATA")->setText("Z1");
    r.click("WritePORTB_CMD");
    EXPECT_TRUE(r.sim.log().empty());
    ASSERT_EQ(r.prompts.messages.size(), 2u);
    EXPECT_TRUE(r.prompts.messages[0].text.contains("PORTA is empty"));
    EXPECT_TRUE(r.prompts.messages[1].text.contains("\"Z1\""));
}

TEST(DebugControls, OptionButtonsSelectAndClearTheirGroup) {
    Rig r;
    r.click("MuxChan2");
    r.click("SQ7302Mode3");
    r.click("MuxChan0");
    EXPECT_EQ(r.sent(), (Packets{packet({0x28, 2}), packet({0x25, 3}), packet({0x28, 0})}));
    EXPECT_TRUE(r.find<QRadioButton>("MuxChan0")->isChecked());
    for (const char* name : {"MuxChan1", "MuxChan2", "MuxChan3"})
        EXPECT_FALSE(r.find<QRadioButton>(name)->isChecked()) << name;
    EXPECT_TRUE(r.find<QRadioButton>("SQ7302Mode3")->isChecked()); // the other group stays
    EXPECT_EQ(r.sim.muxChannel(), 0);
    EXPECT_EQ(r.sim.syncMode(), 3);
}

TEST(DebugControls, DirectAfeReadAddressesAndDisplay) {
    Rig r;
    r.sim.setAfe(0x0A, 0x05);
    r.sim.setAfe(0x10, 0xE6);
    auto* data = r.find<QLineEdit>("DataAFE");
    const std::pair<const char*, int> cases[] = {{"10", 0x0A},   {"&H10", 0x10}, {"", 0x00},
                                                 {"10.5", 0x0A}, {"11.5", 0x0C}, {"7 x", 0x07}};
    for (auto [text, address] : cases) {
        r.sim.clearLog();
        r.find<QLineEdit>("AddressAFE")->setText(text);
        r.click("ReadAFE");
        EXPECT_EQ(r.sent(), Packets{packet({0x22, static_cast<std::uint8_t>(address)})}) << text;
    }
    r.find<QLineEdit>("AddressAFE")->setText("&h10");
    r.click("ReadAFE");
    EXPECT_EQ(data->text(), "E6");
    r.find<QLineEdit>("AddressAFE")->setText("10");
    r.click("ReadAFE");
    EXPECT_EQ(data->text(), "5"); // no leading zero

    // Beyond a byte: a message, nothing sent.
    r.sim.clearLog();
    for (const char* text : {"256", "-1", "&H100", "1E9"}) {
        r.find<QLineEdit>("AddressAFE")->setText(text);
        r.click("ReadAFE");
    }
    EXPECT_TRUE(r.sim.log().empty());
    EXPECT_EQ(r.prompts.messages.size(), 4u);
    EXPECT_EQ(data->text(), "5");
}

TEST(DebugControls, DirectAfeReadWithoutABoardShowsTheOpcode) {
    Rig r(false);
    r.find<QLineEdit>("AddressAFE")->setText("3");
    r.click("ReadAFE");
    EXPECT_EQ(r.find<QLineEdit>("DataAFE")->text(), "22");
    EXPECT_TRUE(r.sink.codes.empty()); // not reported
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
    EXPECT_EQ(r.find<QLineEdit>("Text5")->text(), "Text5");
    EXPECT_TRUE(r.sim.log().empty());
}

TEST(DebugControls, EepromWipeFromBothButtons) {
    Rig r;
    r.sim.setEeprom(0, 0x77);
    r.click("WipeEEPROM");
    EXPECT_EQ(r.sent(), Packets{packet({0x80, 0x00, 0x00, 0x00})});
    EXPECT_EQ(r.sim.eeprom(0), 0x00);
    r.sim.clearLog();
    r.controls.WipeEEPROM_Click();
    emit r.command1->clicked(); // the hidden button of the User Registers frame
    EXPECT_EQ(r.sent(), (Packets{packet({0x80, 0, 0, 0}), packet({0x80, 0, 0, 0})}));
}

TEST(DebugControls, Command4DownloadsAndLeavesDownloadFpgaVisible) {
    Rig r;
    {
        std::ofstream f(r.dir.filePath("fpga_top.bit").toStdString(), std::ios::binary);
        f << std::string(64, 'b');
    }
    r.click("Command4");
    EXPECT_EQ(r.sim.startPackets(), 1);
    EXPECT_EQ(r.sim.streamed().size(), 128u);
    EXPECT_TRUE(r.downloadFpga->isVisible());
    EXPECT_TRUE(r.find<QPushButton>("Command4")->isVisible());
    EXPECT_TRUE(r.prompts.messages.empty());

    // From the hidden button itself: the same download again.
    emit r.downloadFpga->clicked();
    EXPECT_EQ(r.sim.startPackets(), 2);
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

TEST(DebugControls, ProbeShowsTheFileWithTheProgramTitle) {
    Rig r;
    {
        std::ofstream f(r.dir.filePath("fpgatop.Bit").toStdString(), std::ios::binary);
        f << "hdr" << '\0' << "x";
    }
    r.click("Download");
    ASSERT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_EQ(r.prompts.messages[0].title, "Vexholme KORVA726EVAL Video AFE Evaluation Software");
    EXPECT_EQ(r.prompts.messages[0].text, "hdr<00>x");
    EXPECT_EQ(r.sim.probeReads(), 1);
    EXPECT_EQ(r.sim.streamed(), std::vector<std::uint8_t>(64, 0));
}
