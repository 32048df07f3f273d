// The input and video mode dialog on the simulated board, with a recording main window.
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "support/hex_packets.h"
#include "video/mode_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;
using korva::test::hexPackets;

namespace {

const std::vector<std::string> kModes = {"First,1,2,3,4,5;x",
                                         "Mode A,230,1382,41,1065,1500;any note",
                                         "Other, 256 ,512,&H10,2000,2200;comment, with, commas"};

// The dialog on a main window as it sees one: four DE boxes, a register box, the converter
// switch and the read-back, each call logged with the number of packets sent before it.
struct Rig : test::BoardRig, ModeDialogHost {
    test::FakePrompts prompts_;
    QLineEdit boxes[4];
    std::string calls;
    ModeDialog dialog{*this};

    explicit Rig(std::vector<std::string> modes = kModes) {
        const char* start[4] = {"230", "1382", "41", "1065"};
        for (int i = 0; i < 4; ++i) {
            boxes[i].setText(start[i]);
            QObject::connect(&boxes[i], &QLineEdit::textChanged, [this, i](auto& t) {
                log("DE" + std::to_string(i) + "=" + t.toStdString());
            });
        }
        dialog.setModeLines(std::move(modes));
        dialog.show();
    }
    void log(const std::string& what) { calls += what + "@" + std::to_string(sent().size()) + " "; }
    Board& board() override { return BoardRig::board; }
    Prompts& prompts() override { return prompts_; }
    QLineEdit* deBox(int which) override { return &boxes[which]; }
    void setRegisterBoxText(int i, const QString& t) override {
        log("reg" + std::to_string(i) + "=" + t.toStdString());
    }
    // As the main window does: one FPGA write of the converter control register.
    void CSC_Enable() override { log("CSC_Enable"), board().WriteByte_FPGA(0x1B, 0x21); }
    void CSC_Disable() override { log("CSC_Disable"), board().WriteByte_FPGA(0x1B, 0x01); }
    void ReadAllRegisterButton_Click() override {
        log(dialog.isVisible() ? "ReadAll(shown)" : "ReadAll(hidden)");
        board().ReadBurstI2C(kAfeI2cAddress, 0, 64);
        board().ReadBurstI2C(kAfeI2cAddress, 64, 2);
    }
    QComboBox* combo() { return dialog.findChild<QComboBox*>(); }
    QCheckBox* csc() { return dialog.findChild<QCheckBox*>(); }
    QRadioButton* connector(int i) { return dialog.findChildren<QRadioButton*>().at(i); }
    void click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); }
    void click(const char* button) { click(dialog.findChild<QPushButton*>(button)); }
};

const std::string kModeA = "2F1C00 2F1DE6 2F1E05 2F1F66 2F2000 2F2129 2F2204 2F2329 230E05 230FDC ";
const std::string kReadAll = " 034C0040 034C4002";

} // namespace

// OK sets the DE boxes first, then programs the board for the mode and connector, hides
// the dialog and reads the registers back; the choices stay for the next showing.
TEST(ModeDialog, OkProgramsTheModeAndConnectorInOrder) {
    // mode, connector, the auto-enable box ticked, the transfer the board fails (0: none),
    // what is sent, the calls on the main window
    const std::tuple<int, int, bool, int, std::string, std::string> rows[] = {
        {1, 0, true, 0, kModeA + "230500 2F1B01" + kReadAll, // as the dialog opens
         "reg5=00@11 CSC_Disable@11 ReadAll(hidden)@12 "},
        {2, 1, true, 0,
         "2F1C01 2F1D00 2F1E02 2F1F00 2F2000 2F2110 2F2207 2F23D0 230E08 230F98 230501 2800 "
         "2503 2F1B01" +
             kReadAll,
         "DE0=256@0 DE1=512@0 DE2=16@0 DE3=2000@0 reg5=01@11 CSC_Disable@13 ReadAll(hidden)@14 "},
        {1, 3, true, 0, kModeA + "23050D 2802 2500 2F1B21" + kReadAll,
         "reg5=0D@11 CSC_Enable@13 ReadAll(hidden)@14 "},
        {1, 0, false, 0, kModeA + "230500" + kReadAll, "reg5=00@11 ReadAll(hidden)@11 "},
        {1, 2, false, 0, kModeA + "23050D 2801 2500" + kReadAll, "reg5=0D@11 ReadAll(hidden)@13 "},
        {1, 4, true, 0, kModeA + "23050D 2803 2500 2F1B21" + kReadAll,
         "reg5=0D@11 CSC_Enable@13 ReadAll(hidden)@14 "},
        // The fourth FPGA write's command packet fails: nothing after it, the dialog stays.
        {1, 3, true, 7, "2F1C00 2F1DE6 2F1E05", ""}};
    for (const auto& [mode, connector, csc, failAt, sent, calls] : rows) {
        SCOPED_TRACE(calls);
        Rig r;
        if (mode != 1) r.combo()->setCurrentIndex(mode);
        if (connector) r.click(r.connector(connector));
        if (!csc) // the caption wraps; a click on its second line still toggles the box
            QTest::mouseClick(r.csc(), Qt::LeftButton, {},
                              QPoint(r.csc()->width() - 20, r.csc()->height() - 5));
        if (failAt) r.sim.failTransfer(failAt, status::Io);
        r.click("OKButton");
        EXPECT_EQ(r.sent(), hexPackets(sent));
        EXPECT_EQ(r.calls, calls);
        EXPECT_EQ(r.dialog.isVisible(), failAt != 0);
        EXPECT_EQ(r.sink.codes.size(), failAt ? 1u : 0u);
        EXPECT_TRUE(r.prompts_.messages.empty());
        EXPECT_EQ(r.combo()->currentIndex(), mode);
        EXPECT_EQ(r.csc()->isChecked(), csc);
        for (int i = 0; i < ModeDialog::kConnectors; ++i) // one connector at a time
            EXPECT_EQ(r.connector(i)->isChecked(), i == connector) << i;
    }
}

TEST(ModeDialog, CancelSelectsEntryOneAgainAndSendsNothing) {
    Rig r;
    r.click(r.connector(4));
    r.click(r.csc());
    r.combo()->setCurrentIndex(2);
    r.click("OKButton");
    r.sim.clearLog();
    for (bool typed : {false, true}) {
        r.dialog.show();
        typed ? r.combo()->setEditText("typed") : r.combo()->setCurrentIndex(0);
        r.click("CancelButton");
        EXPECT_FALSE(r.dialog.isVisible());
        EXPECT_EQ(r.combo()->currentText(), "Mode A"); // not the mode last confirmed with OK
        EXPECT_TRUE(r.connector(4)->isChecked() && !r.csc()->isChecked());
    }
    EXPECT_TRUE(r.sent().empty());
    Rig one({"Only,1,2,3,4,5;"}); // the only entry is entry 0
    one.combo()->setEditText("typed");
    one.dialog.CancelButton_Click();
    EXPECT_EQ(one.combo()->currentText(), "Only");
}

// No listed mode selected, or a line that cannot be programmed: a warning naming what is
// wrong, nothing sent, the DE boxes untouched and the dialog still open.
TEST(ModeDialog, RefusesWithoutSendingAnything) {
    const std::tuple<std::vector<std::string>, const char*, QString> cases[] = {
        {kModes, "Mode Ax", "\"Mode Ax\" is not one of the listed"}, // typed, then Return
        {kModes, "", "No video mode is selected"},
        {{}, nullptr, "No video mode is selected"},
        {{"A,1,2,3,4,5;", "B,1,2,3,4;5"}, nullptr, "\"B,1,2,3,4;5\""},
        {{"A,1,2,3,4,5;", "B,1,-2,3,4,5;"}, nullptr, "\"B,1,-2,3,4,5;\""},
        {{"A,1,2,3,4,5;", "B,1,2,3,4,65536;"}, nullptr, "\"B,1,2,3,4,65536;\""},
        {{"A,1,2,3,4,5;", "B,70000,2,3,4,5;"}, nullptr, "\"B,70000,2,3,4,5;\""}};
    for (const auto& [modes, typed, why] : cases) {
        SCOPED_TRACE(why.toStdString());
        Rig r(modes);
        r.click(r.connector(2));
        if (typed) {
            r.combo()->lineEdit()->clear();
            QTest::keyClicks(r.combo()->lineEdit(), typed);
            QTest::keyClick(r.combo()->lineEdit(), Qt::Key_Return); // neither adds nor OKs
        }
        r.click("OKButton");
        EXPECT_EQ(r.combo()->count(), int(modes.size()));
        EXPECT_EQ(r.sent().size() + r.calls.size(), 0u);
        EXPECT_TRUE(r.dialog.isVisible());
        ASSERT_EQ(r.prompts_.messages.size(), 1u);
        EXPECT_EQ(r.prompts_.messages[0].icon, Prompts::Icon::Warning);
        EXPECT_TRUE(r.prompts_.messages[0].text.contains(why));
        EXPECT_TRUE(r.prompts_.messages[0].text.contains("Nothing was sent"));
    }
}
