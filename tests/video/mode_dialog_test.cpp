// The input and video mode dialog on the simulated board, with a recording main window.
#include "device/board.h"
#include "device/sim_board.h"
#include "support/fake_prompts.h"
#include "support/recording_sink.h"
#include "video/mode_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>

using namespace korva;
using korva::test::packet;
using korva::test::Packets;

namespace {

// The main window as the dialog sees it: four DE boxes, a register box, the converter
// switch and the read-back, each call logged with the number of packets sent before it.
struct FakeHost : ModeDialogHost {
    SimBoard sim;
    DeviceContext ctx;
    test::RecordingSink sink;
    CommandLink link{sim, ctx, sink};
    Board board_{link};
    test::FakePrompts prompts_;
    QLineEdit boxes[4];
    std::vector<std::string> calls;
    ModeDialog* dialog = nullptr;

    FakeHost() {
        DriverHandle driver = 0;
        sim.init(&driver, MatchEntry{}, MakeEventTable(sim, ctx));
        const char* names[4] = {"Hstart", "Hstop", "Vstart", "Vstop"};
        const char* start[4] = {"230", "1382", "41", "1065"};
        for (int i = 0; i < 4; ++i) {
            boxes[i].setText(start[i]);
            QObject::connect(&boxes[i], &QLineEdit::textChanged, [this, name = names[i]](auto& t) {
                log(std::string(name) + "=" + t.toStdString());
            });
        }
    }
    void log(const std::string& what) {
        calls.push_back(what + "@" + std::to_string(sim.commandPackets().size()));
    }

    Board& board() override { return board_; }
    Prompts& prompts() override { return prompts_; }
    QLineEdit* deBox(int which) override { return &boxes[which]; }
    void setRegisterBoxText(int index, const QString& text) override {
        log("reg" + std::to_string(index) + "=" + text.toStdString());
    }
    // As the main window does: one FPGA write of the converter control register.
    void CSC_Enable() override {
        log("CSC_Enable");
        board_.WriteByte_FPGA(0x1B, 0x21);
    }
    void CSC_Disable() override {
        log("CSC_Disable");
        board_.WriteByte_FPGA(0x1B, 0x01);
    }
    void ReadAllRegisterButton_Click() override {
        log(std::string("ReadAll") + (dialog && dialog->isVisible() ? " visible" : " hidden"));
        board_.ReadBurstI2C(kAfeI2cAddress, 0, 64);
        board_.ReadBurstI2C(kAfeI2cAddress, 64, 2);
    }
};

const std::vector<std::string> kModes = {"First,1,2,3,4,5;x",
                                         "Mode A,230,1382,41,1065,1500;any note",
                                         "Other, 256 ,512,&H10,2000,2200;comment, with, commas"};

struct Rig {
    FakeHost host;
    std::unique_ptr<ModeDialog> dialog = std::make_unique<ModeDialog>(host);
    explicit Rig(std::vector<std::string> modes = kModes) {
        host.dialog = dialog.get();
        dialog->setModeLines(std::move(modes));
        dialog->show();
    }
    template <class T> T* child(const char* name) {
        T* w = dialog->findChild<T*>(name);
        EXPECT_TRUE(w) << name;
        return w;
    }
    QComboBox* combo() { return child<QComboBox>("Combo1"); }
    void chooseConnector(int i) {
        QTest::mouseClick(
            child<QRadioButton>(("InputConnectorSelect_" + std::to_string(i)).c_str()),
            Qt::LeftButton);
    }
    void clickOk() { QTest::mouseClick(child<QPushButton>("OKButton"), Qt::LeftButton); }
    Packets sent() const { return host.sim.commandPackets(); }
};

Packets dePackets(std::initializer_list<std::uint8_t> bytes) {
    Packets p;
    std::uint8_t reg = 0x1C;
    for (std::uint8_t b : bytes)
        p.push_back(packet({0x2F, reg++, b}));
    return p;
}

Packets concat(std::initializer_list<Packets> parts) {
    Packets all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

const Packets kReadAll = {packet({0x03, 0x4C, 0x00, 0x40}), packet({0x03, 0x4C, 0x40, 0x02})};

} // namespace

TEST(ModeDialogLayout, ControlsTextsAndStartState) {
    Rig r;
    EXPECT_EQ(r.dialog->objectName(), "Dialog");
    EXPECT_EQ(r.dialog->windowTitle(), "Video Input and Video Mode Select");
    EXPECT_FALSE(r.dialog->isModal());
    EXPECT_EQ(r.dialog->minimumSize(), r.dialog->maximumSize());
    EXPECT_EQ(r.dialog->size(), QSize(409, 212));

    EXPECT_EQ(r.child<QLabel>("Label1")->text(), "Input Video Mode");
    EXPECT_TRUE(r.combo()->isEditable());
    ASSERT_EQ(r.combo()->count(), 3);
    EXPECT_EQ(r.combo()->itemText(0), "First");
    EXPECT_EQ(r.combo()->itemText(2), "Other");
    EXPECT_EQ(r.combo()->currentIndex(), 1);
    EXPECT_EQ(r.combo()->currentText(), "Mode A");
    EXPECT_EQ(r.child<QGroupBox>("Frame1")->title(), "Select Input Connector");
    const char* captions[] = {"VGA 1", "VGA 2", "Component 1", "Component 2", "Composite 1"};
    for (int i = 0; i < 5; ++i) {
        auto* b = r.child<QRadioButton>(("InputConnectorSelect_" + std::to_string(i)).c_str());
        ASSERT_TRUE(b);
        EXPECT_EQ(b->text(), captions[i]);
        EXPECT_EQ(b->parent(), r.child<QGroupBox>("Frame1"));
        EXPECT_EQ(b->isChecked(), i == 0);
    }
    EXPECT_EQ(r.child<QRadioButton>("InputConnectorSelect_3")->geometry(), QRect(24, 88, 89, 17));
    auto* csc = r.child<QCheckBox>("AutoEnableCSC");
    EXPECT_TRUE(csc->isChecked());
    EXPECT_EQ(csc->text(), "Auto Enable YPbPr to RGB Color Space Converter for Comp. Inputs");
    EXPECT_EQ(r.child<QLabel>("Label2")->text(),
              "This evaluation system does not have a scaler or automatic mode detection.");
    auto* label3 = r.child<QLabel>("Label3");
    EXPECT_TRUE(label3->wordWrap());
    EXPECT_TRUE(label3->text().contains("chosen display mode.  Refresh rates"));
    EXPECT_TRUE(label3->text().endsWith("the 165MHz limit of DVI."));
    EXPECT_EQ(r.child<QPushButton>("CancelButton")->text(), "Cancel");
    EXPECT_EQ(r.child<QPushButton>("OKButton")->text(), "OK");
    EXPECT_EQ(r.child<QPushButton>("OKButton")->geometry(), QRect(315, 177, 81, 25));
    EXPECT_TRUE(r.sent().empty());
}

TEST(ModeDialogLayout, ConnectorsFormOneGroupAndTheWholeCheckBoxClicks) {
    Rig r;
    r.chooseConnector(3);
    r.chooseConnector(1);
    int checked = 0;
    for (int i = 0; i < 5; ++i)
        checked += r.child<QRadioButton>(("InputConnectorSelect_" + std::to_string(i)).c_str())
                       ->isChecked();
    EXPECT_EQ(checked, 1);
    EXPECT_TRUE(r.child<QRadioButton>("InputConnectorSelect_1")->isChecked());
    // The caption wraps; a click on its second line still toggles the box.
    auto* csc = r.child<QCheckBox>("AutoEnableCSC");
    QTest::mouseClick(csc, Qt::LeftButton, {}, QPoint(csc->width() - 20, csc->height() - 5));
    EXPECT_FALSE(csc->isChecked());
}

TEST(ModeDialogOk, WorkedExampleInOrder) {
    Rig r;
    r.chooseConnector(3); // Component 2
    r.clickOk();

    EXPECT_EQ(r.sent(), concat({dePackets({0x00, 0xE6, 0x05, 0x66, 0x00, 0x29, 0x04, 0x29}),
                                {packet({0x23, 0x0E, 0x05}), packet({0x23, 0x0F, 0xDC}),
                                 packet({0x23, 0x05, 0x0D}), packet({0x28, 0x02}),
                                 packet({0x25, 0x00}), packet({0x2F, 0x1B, 0x21})},
                                kReadAll}));
    // Boxes already showed the mode's values: no change events, the writes happen anyway.
    EXPECT_EQ(r.host.calls,
              (std::vector<std::string>{"reg5=0D@11", "CSC_Enable@13", "ReadAll hidden@14"}));
    EXPECT_EQ(r.host.sim.afe(0x0E), 0x05);
    EXPECT_EQ(r.host.sim.afe(0x0F), 0xDC);
    EXPECT_EQ(r.host.sim.muxChannel(), 2);
    EXPECT_EQ(r.host.sim.syncMode(), 0);
    EXPECT_FALSE(r.dialog->isVisible());
    EXPECT_TRUE(r.host.prompts_.messages.empty());
    EXPECT_TRUE(r.host.sink.codes.empty());
}

TEST(ModeDialogOk, DeBoxesAreSetFirstAndTheBytesComeFromTheirNewTexts) {
    Rig r;
    r.combo()->setCurrentIndex(2); // "Other, 256 ,512,&H10,2000,2200;..."
    r.chooseConnector(1);          // VGA 2
    r.clickOk();
    EXPECT_EQ(r.host.boxes[0].text(), "256");
    EXPECT_EQ(r.host.boxes[2].text(), "16");
    EXPECT_EQ(r.host.calls, (std::vector<std::string>{"Hstart=256@0", "Hstop=512@0", "Vstart=16@0",
                                                      "Vstop=2000@0", "reg5=01@11",
                                                      "CSC_Disable@13", "ReadAll hidden@14"}));
    EXPECT_EQ(r.sent(), concat({dePackets({0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x07, 0xD0}),
                                {packet({0x23, 0x0E, 0x08}), packet({0x23, 0x0F, 0x98}),
                                 packet({0x23, 0x05, 0x01}), packet({0x28, 0x00}),
                                 packet({0x25, 0x03}), packet({0x2F, 0x1B, 0x01})},
                                kReadAll}));
    // The choice stays for the next showing.
    EXPECT_EQ(r.combo()->currentIndex(), 2);
}

TEST(ModeDialogOk, Vga1LeavesMuxAndSyncSeparatorAlone) {
    Rig r;
    r.clickOk(); // VGA 1 is selected at start
    const Packets sent = r.sent();
    for (const auto& p : sent) {
        EXPECT_NE(p[0], 0x28);
        EXPECT_NE(p[0], 0x25);
    }
    EXPECT_EQ(sent, concat({dePackets({0x00, 0xE6, 0x05, 0x66, 0x00, 0x29, 0x04, 0x29}),
                            {packet({0x23, 0x0E, 0x05}), packet({0x23, 0x0F, 0xDC}),
                             packet({0x23, 0x05, 0x00}), packet({0x2F, 0x1B, 0x01})},
                            kReadAll}));
    EXPECT_EQ(r.host.calls.front(), "reg5=00@11");
    EXPECT_FALSE(r.host.sim.muxChannel().has_value());
    EXPECT_FALSE(r.host.sim.syncMode().has_value());
}

TEST(ModeDialogOk, UntickedBoxLeavesTheConverterAlone) {
    Rig r;
    QTest::mouseClick(r.child<QCheckBox>("AutoEnableCSC"), Qt::LeftButton);
    for (int connector : {0, 2, 4}) {
        r.host.sim.clearLog();
        r.host.calls.clear();
        r.dialog->show();
        r.chooseConnector(connector);
        r.clickOk();
        for (const auto& p : r.sent())
            EXPECT_FALSE(p[0] == 0x2F && p[1] == 0x1B);
        for (const auto& c : r.host.calls)
            EXPECT_EQ(c.find("CSC"), std::string::npos) << c;
        EXPECT_EQ(r.sent().back(), kReadAll.back());
    }
    EXPECT_EQ(r.host.sim.muxChannel(), 3); // Composite 1
}

TEST(ModeDialogCancel, RestoresEntryOneAndSendsNothing) {
    Rig r;
    r.chooseConnector(4);
    QTest::mouseClick(r.child<QCheckBox>("AutoEnableCSC"), Qt::LeftButton);
    r.combo()->setCurrentIndex(2);
    r.clickOk();
    r.dialog->show();
    r.host.sim.clearLog();
    r.combo()->setCurrentIndex(0);
    QTest::mouseClick(r.child<QPushButton>("CancelButton"), Qt::LeftButton);
    EXPECT_FALSE(r.dialog->isVisible());
    EXPECT_EQ(r.combo()->currentIndex(), 1); // not the mode last confirmed with OK
    EXPECT_EQ(r.combo()->currentText(), "Mode A");
    EXPECT_TRUE(r.child<QRadioButton>("InputConnectorSelect_4")->isChecked());
    EXPECT_FALSE(r.child<QCheckBox>("AutoEnableCSC")->isChecked());
    EXPECT_TRUE(r.sent().empty());

    // Typed text is replaced as well.
    r.dialog->show();
    r.combo()->setEditText("typed");
    r.dialog->CancelButton_Click();
    EXPECT_EQ(r.combo()->currentText(), "Mode A");
}

TEST(ModeDialogCancel, ClosingByTheFrameHidesAndKeepsEverything) {
    Rig r;
    r.combo()->setCurrentIndex(2);
    r.chooseConnector(2);
    r.dialog->close();
    EXPECT_FALSE(r.dialog->isVisible());
    r.dialog->show();
    EXPECT_EQ(r.combo()->count(), 3);
    EXPECT_EQ(r.combo()->currentIndex(), 2);
    EXPECT_TRUE(r.child<QRadioButton>("InputConnectorSelect_2")->isChecked());
    EXPECT_EQ(r.dialog->ModeLines(), kModes);
    EXPECT_TRUE(r.sent().empty());
}

TEST(ModeDialogRefusals, TypedTextIsNoSelectedMode) {
    Rig r;
    QTest::keyClick(r.combo()->lineEdit(), Qt::Key_End);
    QTest::keyClicks(r.combo()->lineEdit(), "x");
    EXPECT_EQ(r.combo()->currentText(), "Mode Ax");
    r.clickOk();
    // Enter in the field neither adds an entry nor presses OK.
    QTest::keyClick(r.combo()->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(r.combo()->count(), 3);

    EXPECT_TRUE(r.sent().empty());
    EXPECT_TRUE(r.host.calls.empty());
    EXPECT_TRUE(r.dialog->isVisible());
    ASSERT_EQ(r.host.prompts_.messages.size(), 1u);
    EXPECT_EQ(r.host.prompts_.messages[0].icon, Prompts::Icon::Warning);
    EXPECT_TRUE(r.host.prompts_.messages[0].text.contains("\"Mode Ax\" is not one of the listed"));
    EXPECT_TRUE(r.host.prompts_.messages[0].text.contains("Nothing was sent"));

    r.combo()->setEditText("");
    r.clickOk();
    ASSERT_EQ(r.host.prompts_.messages.size(), 2u);
    EXPECT_TRUE(r.host.prompts_.messages[1].text.contains("No video mode is selected"));
    EXPECT_TRUE(r.sent().empty());
}

TEST(ModeDialogRefusals, BrokenOrOutOfRangeLinesSendNothing) {
    const std::vector<std::string> broken[] = {
        {"A,1,2,3,4,5;", "B,1,2,3,4;5"},      // four commas
        {"A,1,2,3,4,5;", "B,1,2,3,4,5"},      // no semicolon
        {"A,1,2,3,4,5;", "B,1,2;3,4,5,6"},    // semicolon before the fifth comma
        {"A,1,2,3,4,5;", "B,1,-2,3,4,5;"},    // negative
        {"A,1,2,3,4,5;", "B,1,2,3,4,65536;"}, // above 65535
        {"A,1,2,3,4,5;", "B,70000,2,3,4,5;"},
    };
    for (const auto& modes : broken) {
        SCOPED_TRACE(modes[1]);
        Rig r(modes);
        r.chooseConnector(2);
        r.clickOk();
        EXPECT_TRUE(r.sent().empty());
        EXPECT_TRUE(r.host.calls.empty()); // not even the DE boxes changed
        EXPECT_EQ(r.host.boxes[0].text(), "230");
        EXPECT_TRUE(r.dialog->isVisible());
        ASSERT_EQ(r.host.prompts_.messages.size(), 1u);
        EXPECT_TRUE(r.host.prompts_.messages[0].text.contains(QString::fromStdString(modes[1])));
    }
}

TEST(ModeDialogRefusals, BoardFailureStopsTheSequence) {
    Rig r;
    r.chooseConnector(3);
    r.host.sim.failTransfer(7, status::Io); // the fourth FPGA write's command packet
    r.clickOk();
    EXPECT_EQ(r.host.sink.codes.size(), 1u);
    // The fourth write failed; nothing went out after it.
    const Packets de = dePackets({0x00, 0xE6, 0x05, 0x66, 0x00, 0x29, 0x04, 0x29});
    EXPECT_EQ(r.sent(), Packets(de.begin(), de.begin() + 3));
    EXPECT_TRUE(r.host.calls.empty());
    EXPECT_TRUE(r.dialog->isVisible());
}

TEST(ModeDialogModes, OneModeSelectsEntryZero) {
    Rig r({"Only,1,2,3,4,5;"});
    EXPECT_EQ(r.combo()->currentIndex(), 0);
    r.dialog->CancelButton_Click();
    EXPECT_EQ(r.combo()->currentIndex(), 0);
    Rig none(std::vector<std::string>{});
    EXPECT_EQ(none.combo()->count(), 0);
    none.clickOk();
    EXPECT_TRUE(none.sent().empty());
    EXPECT_EQ(none.host.prompts_.messages.size(), 1u);
}
