// The input and video mode dialog on the simulated board, with a recording main window.
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "video/mode_dialog.h"

#include <QCheckBox>
#include <QComboBox>
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
struct FakeHost : test::BoardRig, ModeDialogHost {
    test::FakePrompts prompts_;
    QLineEdit boxes[4];
    std::vector<std::string> calls;
    ModeDialog* dialog = nullptr;

    FakeHost() {
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
        calls.push_back(what + "@" + std::to_string(sent().size()));
    }

    Board& board() override { return BoardRig::board; }
    Prompts& prompts() override { return prompts_; }
    QLineEdit* deBox(int which) override { return &boxes[which]; }
    void setRegisterBoxText(int index, const QString& text) override {
        log("reg" + std::to_string(index) + "=" + text.toStdString());
    }
    // As the main window does: one FPGA write of the converter control register.
    void CSC_Enable() override {
        log("CSC_Enable");
        board().WriteByte_FPGA(0x1B, 0x21);
    }
    void CSC_Disable() override {
        log("CSC_Disable");
        board().WriteByte_FPGA(0x1B, 0x01);
    }
    void ReadAllRegisterButton_Click() override {
        log(std::string("ReadAll") + (dialog && dialog->isVisible() ? " visible" : " hidden"));
        board().ReadBurstI2C(kAfeI2cAddress, 0, 64);
        board().ReadBurstI2C(kAfeI2cAddress, 64, 2);
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
    template <class T> T* child(const std::string& name) {
        T* w = dialog->findChild<T*>(QString::fromStdString(name));
        EXPECT_TRUE(w) << name;
        return w;
    }
    QComboBox* combo() { return child<QComboBox>("Combo1"); }
    QRadioButton* connector(int i) {
        return child<QRadioButton>("InputConnectorSelect_" + std::to_string(i));
    }
    void chooseConnector(int i) { QTest::mouseClick(connector(i), Qt::LeftButton); }
    void clickCsc() { QTest::mouseClick(child<QCheckBox>("AutoEnableCSC"), Qt::LeftButton); }
    void clickOk() { QTest::mouseClick(child<QPushButton>("OKButton"), Qt::LeftButton); }
    Packets sent() const { return host.sent(); }
    const auto& messages() const { return host.prompts_.messages; }
};

// The writes of the DE registers 0x1C..0x23, in order.
Packets dePackets(std::initializer_list<std::uint8_t> bytes) {
    Packets p;
    std::uint8_t reg = 0x1C;
    for (std::uint8_t b : bytes)
        p.push_back(packet({0x2F, reg++, b}));
    return p;
}

Packets concat(Packets all, const Packets& more) {
    all.insert(all.end(), more.begin(), more.end());
    return all;
}

const Packets kReadAll = {packet({0x03, 0x4C, 0x00, 0x40}), packet({0x03, 0x4C, 0x40, 0x02})};

} // namespace

TEST(ModeDialogOk, Vga2SetsTheDeBoxesFirstThenSelectsChannel0AndMode3) {
    Rig r;
    r.combo()->setCurrentIndex(2); // "Other, 256 ,512,&H10,2000,2200;..."
    r.chooseConnector(1);          // VGA 2
    r.clickOk();
    EXPECT_EQ(r.host.boxes[2].text(), "16");
    EXPECT_EQ(r.host.calls, (std::vector<std::string>{"Hstart=256@0", "Hstop=512@0", "Vstart=16@0",
                                                      "Vstop=2000@0", "reg5=01@11",
                                                      "CSC_Disable@13", "ReadAll hidden@14"}));
    EXPECT_EQ(r.sent(), concat(dePackets({0x01, 0x00, 0x02, 0x00, 0x00, 0x10, 0x07, 0xD0}),
                               concat({packet({0x23, 0x0E, 0x08}), packet({0x23, 0x0F, 0x98}),
                                       packet({0x23, 0x05, 0x01}), packet({0x28, 0x00}),
                                       packet({0x25, 0x03}), packet({0x2F, 0x1B, 0x01})},
                                      kReadAll)));
    EXPECT_FALSE(r.dialog->isVisible());
    EXPECT_TRUE(r.messages().empty());
    EXPECT_EQ(r.combo()->currentIndex(), 2); // the choice stays for the next showing
}

TEST(ModeDialogOk, Vga1LeavesMuxAndSyncSeparatorAlone) {
    Rig r;
    r.clickOk(); // VGA 1 is selected at start
    EXPECT_EQ(r.sent(), concat(dePackets({0x00, 0xE6, 0x05, 0x66, 0x00, 0x29, 0x04, 0x29}),
                               concat({packet({0x23, 0x0E, 0x05}), packet({0x23, 0x0F, 0xDC}),
                                       packet({0x23, 0x05, 0x00}), packet({0x2F, 0x1B, 0x01})},
                                      kReadAll)));
    EXPECT_FALSE(r.host.sim.muxChannel().has_value());
    EXPECT_FALSE(r.host.sim.syncMode().has_value());
}

TEST(ModeDialogOk, UntickedBoxLeavesTheConverterAlone) {
    Rig r;
    ASSERT_EQ(r.combo()->count(), 3);
    EXPECT_EQ(r.combo()->currentText(), "Mode A");
    EXPECT_TRUE(r.connector(0)->isChecked());
    // The caption wraps; a click on its second line still toggles the box.
    auto* csc = r.child<QCheckBox>("AutoEnableCSC");
    EXPECT_TRUE(csc->isChecked());
    QTest::mouseClick(csc, Qt::LeftButton, {}, QPoint(csc->width() - 20, csc->height() - 5));
    EXPECT_FALSE(csc->isChecked());
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
        for (int i = 0; i < 5; ++i) // one connector at a time
            EXPECT_EQ(r.connector(i)->isChecked(), i == connector);
    }
    EXPECT_EQ(r.host.sim.muxChannel(), 3); // Composite 1
}

TEST(ModeDialogCancel, RestoresEntryOneAndSendsNothing) {
    Rig r;
    r.chooseConnector(4);
    r.clickCsc();
    r.combo()->setCurrentIndex(2);
    r.clickOk();
    r.dialog->show();
    r.host.sim.clearLog();
    r.combo()->setCurrentIndex(0);
    QTest::mouseClick(r.child<QPushButton>("CancelButton"), Qt::LeftButton);
    EXPECT_FALSE(r.dialog->isVisible());
    EXPECT_EQ(r.combo()->currentText(), "Mode A"); // not the mode last confirmed with OK
    EXPECT_TRUE(r.connector(4)->isChecked());
    EXPECT_FALSE(r.child<QCheckBox>("AutoEnableCSC")->isChecked());
    r.dialog->show();
    r.combo()->setEditText("typed");
    r.dialog->CancelButton_Click();
    EXPECT_EQ(r.combo()->currentText(), "Mode A");
    EXPECT_TRUE(r.sent().empty());
    Rig one({"Only,1,2,3,4,5;"});
    EXPECT_EQ(one.combo()->currentIndex(), 0);
    one.dialog->CancelButton_Click();
    EXPECT_EQ(one.combo()->currentIndex(), 0);
}

TEST(ModeDialogRefusals, NoSelectedModeSendsNothing) {
    Rig r;
    QTest::keyClick(r.combo()->lineEdit(), Qt::Key_End);
    QTest::keyClicks(r.combo()->lineEdit(), "x");
    r.clickOk();
    QTest::keyClick(r.combo()->lineEdit(), Qt::Key_Return); // neither adds an entry nor OKs
    EXPECT_EQ(r.combo()->count(), 3);
    r.combo()->setEditText("");
    r.clickOk();
    EXPECT_TRUE(r.sent().empty());
    EXPECT_TRUE(r.host.calls.empty());
    EXPECT_TRUE(r.dialog->isVisible());
    ASSERT_EQ(r.messages().size(), 2u);
    EXPECT_EQ(r.messages()[0].icon, Prompts::Icon::Warning);
    EXPECT_TRUE(r.messages()[0].text.contains("\"Mode Ax\" is not one of the listed"));
    EXPECT_TRUE(r.messages()[0].text.contains("Nothing was sent"));
    EXPECT_TRUE(r.messages()[1].text.contains("No video mode is selected"));

    Rig none(std::vector<std::string>{});
    none.clickOk();
    EXPECT_TRUE(none.sent().empty());
    EXPECT_EQ(none.messages().size(), 1u);
}

TEST(ModeDialogRefusals, BrokenOrOutOfRangeLinesSendNothing) {
    for (const char* line : {"B,1,2,3,4;5", "B,1,2,3,4,5", "B,1,2;3,4,5,6", "B,1,-2,3,4,5;",
                             "B,1,2,3,4,65536;", "B,70000,2,3,4,5;"}) {
        SCOPED_TRACE(line);
        Rig r({"A,1,2,3,4,5;", line});
        r.chooseConnector(2);
        r.clickOk();
        EXPECT_TRUE(r.sent().empty());
        EXPECT_TRUE(r.host.calls.empty()); // not even the DE boxes changed
        EXPECT_TRUE(r.dialog->isVisible());
        ASSERT_EQ(r.messages().size(), 1u);
        EXPECT_TRUE(r.messages()[0].text.contains(line));
    }
}

TEST(ModeDialogRefusals, BoardFailureStopsTheSequence) {
    Rig r;
    r.chooseConnector(3);
    r.host.sim.failTransfer(7, status::Io); // the fourth FPGA write's command packet
    r.clickOk();
    EXPECT_EQ(r.host.sink.codes.size(), 1u);
    const Packets de = dePackets({0x00, 0xE6, 0x05, 0x66, 0x00, 0x29, 0x04, 0x29});
    EXPECT_EQ(r.sent(), Packets(de.begin(), de.begin() + 3)); // nothing after the failure
    EXPECT_TRUE(r.host.calls.empty());
    EXPECT_TRUE(r.dialog->isVisible());
}
