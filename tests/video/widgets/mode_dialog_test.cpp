// The input and video mode dialog on the simulated board, with a recording main window. The
// board that OK leaves is compared with the core set-up's in the window's tests; here, the
// dialog's own part: the choices it passes on, the order of its calls, and its refusals.
#include "device/textnum.h"
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "support/hex_packets.h"
#include "ui/register_views.h"
#include "video/widgets/mode_dialog.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;

namespace {

using Lines = std::vector<std::string>;
const Lines kModes = {"F,1,2,3,4,5;", "Mode A,230,1382,41,1065,1500;", "O,256,512,16,2000,2200;"};

// The dialog on a main window as it sees one: the DE generator's window, the register
// boxes and the converter button, each call logged with the packets sent before it (how the
// DE boxes' changes reach the board is the window's and the DE generator's part).
struct Rig : test::BoardRig, ModeDialogHost, RegisterView {
    test::FakePrompts prompts_;
    DeWindow de{};
    QString calls;
    ModeDialog dialog{*this};

    explicit Rig(Lines m = kModes) { dialog.setModeLines(std::move(m)), dialog.show(); }
    void log(const QString& what) { calls += QString("%1@%2 ").arg(what).arg(sent().size()); }
    Board& board() override { return BoardRig::board; }
    Prompts& prompts() override { return prompts_; }
    bool setDeWindow(const DeWindow& w) override {
        return de = w, log(QString("de=%1,%2,%3,%4").arg(w[0]).arg(w[1]).arg(w[2]).arg(w[3])), true;
    }
    DeWindow deWindow() const override { return de; }
    RegisterView& registers() override { return *this; }
    void showConverter(bool on) override { log(on ? "csc=on" : "csc=off"); }
    std::string boxText(int) const override { return {}; }
    std::optional<std::uint8_t> boardValue(int) const override { return {}; }
    void markDiffering(int, const std::string&) override {}
    void showValue(int a, std::uint8_t v) override {
        log(QString("reg%1=%2").arg(a).arg(QString::fromStdString(HexByte(v))));
    }
    bool readAll() override { return log(dialog.isVisible() ? "ReadAll" : "Hidden"), true; }
    QComboBox* combo() { return dialog.findChild<QComboBox*>(); }
    QCheckBox* csc() { return dialog.findChild<QCheckBox*>(); }
    QRadioButton* connector(int i) { return dialog.findChildren<QRadioButton*>().at(i); }
    void click(const char* b) { QTest::mouseClick(dialog.findChild<QWidget*>(b), Qt::LeftButton); }
};

const std::string kModeA = "2F1C00 2F1DE6 2F1E05 2F1F66 2F2000 2F2129 2F2204 2F2329 230E05 230FDC ";

} // namespace

// OK programs the board for the mode and connector, hides the dialog and reads the
// registers back. Cancel at the next showing selects entry 1 again, not the mode confirmed
// with OK nor one typed, keeps the connector and the tick box, and sends nothing.
TEST(ModeDialog, OkProgramsTheModeAndConnectorInOrderAndCancelSendsNothing) {
    // mode, connector, the auto-enable box ticked, the transfer the board fails (0: none),
    // what is sent, the calls on the main window
    const std::string de = "de=230,1382,41,1065@0 "; // Mode A's window passed on
    const std::tuple<int, int, bool, int, std::string, std::string> rows[] = {
        {1, 0, true, 0, kModeA + "230500 2F1B01", de + "reg5=00@12 csc=off@12 Hidden@12 "},
        {2, 1, true, 0,
         "2F1C01 2F1D00 2F1E02 2F1F00 2F2000 2F2110 2F2207 2F23D0 230E08 230F98 230501 2800 2503 "
         "2F1B01",
         "de=256,512,16,2000@0 reg5=01@14 csc=off@14 Hidden@14 "},
        {1, 2, false, 0, kModeA + "23050D 2801 2500", de + "reg5=0D@13 Hidden@13 "},
        {1, 3, true, 0, kModeA + "23050D 2802 2500 2F1B21", de + "reg5=0D@14 csc=on@14 Hidden@14 "},
        {1, 4, true, 0, kModeA + "23050D 2803 2500 2F1B21", de + "reg5=0D@14 csc=on@14 Hidden@14 "},
        // The fourth FPGA write's command packet fails: nothing after it, the dialog stays.
        {0, 3, true, 7, "2F1C00 2F1D01 2F1E00", "de=1,2,3,4@0 "}};
    for (const auto& [mode, connector, csc, failAt, sent, calls] : rows) {
        SCOPED_TRACE(calls);
        Rig r;
        r.combo()->setCurrentIndex(mode);
        if (connector) QTest::mouseClick(r.connector(connector), Qt::LeftButton);
        // The caption wraps; a click on its second line still toggles the box.
        if (!csc)
            QTest::mouseClick(r.csc(), Qt::LeftButton, {},
                              r.csc()->rect().bottomRight() - QPoint(20, 4));
        if (failAt) r.sim.failTransfer(failAt, status::Io);
        r.click("OKButton");
        EXPECT_EQ(r.sent(), test::hexPackets(sent));
        EXPECT_EQ(r.calls.toStdString(), calls);
        EXPECT_EQ(r.dialog.isVisible(), failAt != 0);
        EXPECT_EQ(r.sink.codes.size() + r.prompts_.messages.size(), failAt ? 1u : 0u);
        r.dialog.show();
        r.combo()->setEditText("typed");
        r.click("CancelButton");
        EXPECT_EQ(r.combo()->currentText(), "Mode A");
        EXPECT_TRUE(r.connector(connector)->isChecked() && r.csc()->isChecked() == csc);
        EXPECT_TRUE(r.sent() == test::hexPackets(sent) && !r.dialog.isVisible()); // no more sent
    }
}

// No listed mode selected, or a line that cannot be programmed: a warning naming what is
// wrong, nothing sent, nothing called and the dialog still open. Cancel then shows entry 1
// (entry 0 when it is the only one).
TEST(ModeDialog, RefusesWithoutSendingAnything) {
    // the modes, a text typed then Return (nullptr: OK clicked), the warning, after Cancel
    const std::tuple<Lines, const char*, QString, QString> cases[] = {
        {kModes, "Mode Ax", "\"Mode Ax\" is not one of the listed", "Mode A"},
        {{}, nullptr, "No video mode is selected", ""},
        {{"Only,1,2,3,4,5;"}, "", "No video mode is selected", "Only"},
        {{"A,1,2,3,4,5;", "B,1,2,3,4;5"}, nullptr, "\"B,1,2,3,4;5\"", "B"},
        {{"A,1,2,3,4,5;", "B,70000,2,3,4,5;"}, nullptr, "\"B,70000,2,3,4,5;\"", "B"}};
    for (const auto& [modes, typed, why, after] : cases) {
        SCOPED_TRACE(why.toStdString());
        Rig r(modes);
        if (typed) { // Return in the mode field presses OK
            r.combo()->setEditText("");
            QTest::keyClicks(r.combo()->lineEdit(), typed);
            QTest::keyClick(r.combo()->lineEdit(), Qt::Key_Return);
        } else {
            r.click("OKButton");
        }
        EXPECT_TRUE(r.sent().empty() && r.calls.isEmpty());
        EXPECT_TRUE(r.dialog.isVisible() && r.combo()->count() == int(modes.size()));
        ASSERT_EQ(r.prompts_.messages.size(), 1u);
        const auto& [icon, title, text] = r.prompts_.messages[0];
        EXPECT_EQ(icon, Prompts::Icon::Warning);
        EXPECT_TRUE(text.contains(why) && text.contains("Nothing was sent")) << text.toStdString();
        r.click("CancelButton");
        EXPECT_EQ(r.combo()->currentText(), after);
    }
}

// OK is the default button: Return presses the button with the focus, else OK. In the mode
// field, Return first takes the name the field completes; with a whole name there it
// presses OK. The mode list is announced by its label.
TEST(ModeDialog, ReturnPressesTheFocusedButtonOrOkAndTheListHasItsLabel) {
    // where Return goes (a mode typed into the field first), how often, whether OK ran
    const std::tuple<const char*, const char*, int, bool> rows[] = {
        {"OKButton", nullptr, 1, true}, {"CancelButton", nullptr, 1, false},
        {"Combo1", "Mo", 1, false},     {"Combo1", "Mo", 2, true},
        {"Combo1", "Mode A", 1, true},  {"AutoEnableCSC", nullptr, 1, true}};
    for (const auto& [where, typed, returns, ok] : rows) {
        SCOPED_TRACE(std::string(where) + " " + (typed ? typed : ""));
        Rig r;
        QApplication::setActiveWindow(&r.dialog); // the field completes with the focus only
        ASSERT_TRUE(QTest::qWaitForWindowActive(&r.dialog));
        QWidget* target = r.dialog.findChild<QWidget*>(where);
        target->setFocus();
        if (typed)
            r.combo()->setEditText(""), QTest::keyClicks(target = r.combo()->lineEdit(), typed);
        for (int i = 0; i < returns; ++i)
            QTest::keyClick(target, Qt::Key_Return);
        EXPECT_EQ(r.sent(), ok ? test::hexPackets(kModeA + "230500 2F1B01") : test::Packets{});
        EXPECT_EQ(r.dialog.isVisible(), !ok && std::string(where) != "CancelButton");
        EXPECT_TRUE(r.prompts_.messages.empty() && r.combo()->currentText() == "Mode A");
    }
    Rig r;
    const auto label =
        QAccessible::queryAccessibleInterface(r.combo())->relations(QAccessible::Label);
    EXPECT_TRUE(label.size() == 1 &&
                label[0].first->object() == r.dialog.findChild<QLabel*>("Label1"));
}
