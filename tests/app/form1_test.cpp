// The application shell: start-up, tabs, the key sequence, shortcuts, ErrMsg, the ways the
// program ends, and the debug controls and About box in the window.
#include "device/capture_layer.h"
#include "support/pcap_reader.h"
#include "support/form_rig.h"
#include "tools/about_box.h"
#include "tools/debug_controls.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>

using namespace korva;
using namespace korva::test;

namespace {

using Action = std::function<void(FormRig&)>;

// Keyboard shortcuts go to the active window only.
void activate(FormRig& r) {
    QApplication::setActiveWindow(r.form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(r.form.get()));
}

} // namespace

// What the start makes of Config.ini, the mode table and the lock; each row on a fresh window.
// The test flag shows the Test Registers tab. A bad identifier, a lock that cannot be
// created (no other copy) and a damaged mode table are reported and the start goes on: USB
// opens, and nothing is read from the board.
TEST(StartUp, SettingsFlagLockAndModeTable) {
    QByteArray damaged = "h1\r\nh2\r\nmodes 33\r\n"; // 33 lines of a megabyte each
    for (int i = 0; i < 33; ++i)
        damaged += i % 2 ? "M," + QByteArray(1 << 20, '9') + ",1,2,3,4;\r\n" // too large a number
                         : QByteArray(1 << 20, 'x') + ",1,2,3;\r\n";         // too few commas
    const struct {
        QByteArray ini; // none when empty
        bool shown;
        const char* message;
        const char* lock = nullptr; // in the rig's folder
        QByteArray modeTable = {};
    } cases[] = {
        {"", false, ""},
        {"[flags]\r\ntest = 1\r\n", true, ""},
        {"[flags]\r\ntest = True\r\n", true, ""},
        {"[flags]\r\ntest = \"True\"\r\n", true, ""},
        {"[Flags]\nTest=true\n", false, ""},
        {"[Flags]\nTest=yes\n", false, ""},
        {"[Flags]\nTest=0\n", false, ""},
        {"[Flags]\nTest=\n", false, ""},
        // A byte-order mark does not hide the first section.
        {"\xEF\xBB\xBF[Flags]\r\nTest=1\r\n[USB]\r\nVendorID=12345\r\n", true,
         "line 4: VendorID \"12345\""},
        {"", false, "Is a directory", "."},
        {"", false, "No such file or directory", "missing/korva.lock"},
        // The first few problems, each short, and how many more there are.
        {"", false, "and 25 more", nullptr, damaged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini.toStdString() + c.message);
        FormRig r(true, c.ini);
        Form1Options options = r.options();
        if (c.lock) options.lockFile = r.dir.filePath(c.lock);
        r.form = std::make_unique<Form1>(r.sim, r.prompts, options);
        if (!c.modeTable.isEmpty()) r.writeModeTable(c.modeTable);
        ASSERT_TRUE(r.start());
        EXPECT_EQ(r.form->tabs()->isTabVisible(1), c.shown);
        EXPECT_EQ(r.form->tabs()->isTabEnabled(1), c.shown);
        EXPECT_EQ(r.form->HiddenModesShown(), c.shown);
        EXPECT_EQ(r.form->tabs()->currentIndex(), 0);
        ASSERT_EQ(r.prompts.messages.size(), *c.message ? 1u : 0u);
        const QString text = *c.message ? r.prompts.messages[0].text : "";
        EXPECT_TRUE(text.contains(c.message)) << text.toStdString();
        EXPECT_TRUE(!c.lock || text.contains(options.lockFile + ", "));
        EXPECT_LT(text.size(), 2000);
        EXPECT_TRUE(r.sim.initialised());
        EXPECT_NE(r.form->deviceContext().handle.load(), 0u);
        EXPECT_TRUE(r.sim.log().empty());
    }
}

TEST(StartUp, SecondCopyIsRefusedWithTheTwoLineWarning) {
    FormRig first;
    ASSERT_TRUE(first.start());
    FakePrompts prompts;
    SimBoard sim;
    EXPECT_FALSE(Form1(sim, prompts, first.options()).Form_Load());
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].icon, Prompts::Icon::Warning);
    EXPECT_EQ(prompts.messages[0].text,
              " Another copy of the Application is running.\r\n"
              "Please close all previous instance of the application and restart");
    EXPECT_FALSE(sim.initialised()); // the second copy never opened USB
    EXPECT_TRUE(first.form->isVisible());
}

TEST(TabStrip, KeySequenceInAnyCaseShowsTheTestTabButNeverTheDebugTabs) {
    FormRig r;
    ASSERT_TRUE(r.start());
    activate(r);
    r.form->reg_KORVA726(6)->setFocus();
    // A click on a tab, then keys to whatever has the focus: the strip took it.
    QTabWidget* tabs = r.form->tabs();
    QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(2).center());
    QTest::keyClicks(nullptr, "xyzMRK");
    EXPECT_FALSE(tabs->isTabVisible(1));
    QTest::keyClicks(nullptr, "Q");
    EXPECT_TRUE(tabs->isTabVisible(1) && tabs->isTabEnabled(1) && r.form->HiddenModesShown());
    QTest::keyClicks(tabs->tabBar(), "mrkq"); // again: nothing further changes
    EXPECT_TRUE(tabs->isTabVisible(1));
    for (int i = 0; i < 12; ++i) {
        QTest::keyClick(tabs, Qt::Key_Tab, Qt::ControlModifier);
        EXPECT_LE(tabs->currentIndex(), 2);
        QTest::keyClick(tabs->tabBar(), Qt::Key_Right);
        EXPECT_LE(tabs->currentIndex(), 2);
    }
}

TEST(Shortcuts, SaveAndLoadReachTheMenuFromATextBox) {
    FormRig r;
    ASSERT_TRUE(r.start());
    activate(r);
    QLineEdit* address = r.form->findChild<QLineEdit*>("AddressBox");
    address->setFocus();
    QTest::keyClick(address, Qt::Key_S, Qt::ControlModifier); // both dialogs cancelled
    QTest::keyClick(address, Qt::Key_L, Qt::ControlModifier);
    ASSERT_EQ(r.prompts.fileRequests.size(), 2u);
    EXPECT_EQ(r.prompts.fileRequests[0].caption, "Save Registers");
    EXPECT_EQ(r.prompts.fileRequests[1].caption, "Load Registers");
    EXPECT_TRUE(r.sim.log().empty());
}

// Closing the window, Exit, and Ctrl+X in a register box (which cuts nothing) end the program
// and close USB.
TEST(Shutdown, EveryWayOutClosesUsb) {
    const Action ways[] = {
        [](FormRig& r) { r.form->close(); },
        [](FormRig& r) { r.form->findChild<QAction*>("nMenuFileExit")->trigger(); },
        [](FormRig& r) {
            activate(r);
            r.form->reg_KORVA726(3)->setFocus();
            r.form->reg_KORVA726(3)->selectAll();
            QTest::keyClick(r.form->reg_KORVA726(3), Qt::Key_X, Qt::ControlModifier);
        },
    };
    for (const Action& way : ways) {
        FormRig r;
        ASSERT_TRUE(r.start());
        r.form->reg_KORVA726(3)->setText("12");
        way(r);
        EXPECT_EQ(r.sim.uninitCount(), 1);
        EXPECT_FALSE(r.form->isVisible());
        EXPECT_EQ(r.form->reg_KORVA726(3)->text(), "12");
    }
}

// The fixed texts where nothing more is known; else which operation failed and why. After
// the box the program ends, and nothing more goes out whatever the user still clicks.
TEST(ErrMsg, TextsTitlesAndTheEnd) {
    const struct {
        bool plugged;
        char op; // ErrMsg(5), a Write that times out, a Read All with a Short reply, Read All
        const char *title, *text;
    } cases[] = {
        {true, 'E', "KORVA726 USB Error", "Unknown Error."},
        {true, 'W', "KORVA726 USB Error",
         "WriteByte_AFE (register 0x06, value 0x80): reading the reply: LIBUSB_ERROR_TIMEOUT: "
         "Operation timed out"},
        {true, 'S', "KORVA726 USB  Error",
         "ReadBurstI2C (device 0x4C, register 0x00, 64 bytes): short reply: the board answered "
         "with 4 bytes; the operation reads 64"},
        // Without a board the start is quiet; the first operation that reports ends it.
        {false, 'R', "KORVA726 USB  Error",
         "Selected Device Driver was not found. Perhaps no device is connected."},
    };
    const auto readAll = [](FormRig& r) {
        QTest::mouseClick(r.form->findChild<QPushButton*>("ReadAllRegisterButton"), Qt::LeftButton);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        FormRig r(c.plugged);
        ASSERT_TRUE(r.start());
        EXPECT_TRUE(r.prompts.messages.empty());
        if (c.op == 'W') r.sim.timeOutTransfer(2);
        if (c.op == 'S') r.sim.shortReplyAtTransfer(2, 4);
        if (c.op == 'E') r.form->ErrMsg(5);
        if (c.op == 'W') r.form->board().WriteByte_AFE(6, 0x80);
        if (c.op == 'S' || c.op == 'R') readAll(r);
        ASSERT_EQ(r.prompts.messages.size(), 1u);
        EXPECT_EQ(r.prompts.messages[0].icon, Prompts::Icon::Critical);
        EXPECT_EQ(r.prompts.messages[0].title, c.title);
        EXPECT_EQ(r.prompts.messages[0].text, c.text);
        EXPECT_EQ(r.ended, 1);
        EXPECT_EQ(r.sim.uninitCount(), 1);
        EXPECT_FALSE(r.form->isVisible());
        const std::size_t sent = r.sent().size();
        r.sim.plug();
        readAll(r);
        EXPECT_EQ(r.sent().size(), c.plugged ? sent : 0u);
    }
}

TEST(ErrMsg, TheProcessEndsWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            FormRig r;
            Form1Options options = r.options();
            options.endProgram = nullptr;
            Form1(r.sim, r.prompts, options).ErrMsg(5);
        },
        ::testing::ExitedWithCode(1), "");
}

TEST(ErrMsg, CaptureFileIsCompleteWhenTheBoxShows) {
    FormRig r;
    const std::string path = r.dir.filePath("usb.pcap").toStdString();
    CaptureLayer capture(r.sim, path);
    Form1 form(capture, r.prompts, r.options());
    ASSERT_TRUE(form.Form_Load());
    form.Form_Activate();
    std::vector<UsbRecord> atBox;
    r.prompts.onMessage = [&] { atBox = readCapture(path); };
    r.sim.failTransfer(2, status::Pipe); // the reply of the next exchange
    form.board().WriteByte_AFE(0x05, 0x80);
    ASSERT_EQ(atBox.size(), 4u);
    EXPECT_EQ(atBox[3].status, -32);
    EXPECT_EQ(r.ended, 1);
}

TEST(FileDialogs, DescriptionPatternFilterBecomesQtNameFilters) {
    EXPECT_EQ(QtNameFilters("Text File (*.TXT) |*.txt | All Files (*.*)|*.*|"),
              (QStringList{"Text File (*.TXT) (*.txt *.TXT)", "All Files (*.*) (*)"}));
    EXPECT_EQ(QtNameFilters("Images (*.png);;All (*)"), (QStringList{"Images (*.png)", "All (*)"}));
}

TEST(DebugInWindow, HiddenButtonsAndTheBitstreamOfTheWorkingFolder) {
    FormRig r;
    ASSERT_TRUE(r.start());
    auto* downloadFpga = r.form->findChild<QPushButton*>("DownloadFPGA");
    EXPECT_TRUE(downloadFpga->isHidden() &&
                r.form->findChild<QPushButton*>("Command1")->isHidden());
    QFile bit(r.dir.filePath("fpga_top.bit"));
    ASSERT_TRUE(bit.open(QIODevice::WriteOnly) && bit.write(QByteArray(64, '\x5A')) == 64);
    bit.close();
    // The debug tab is hidden and disabled: its button cannot be clicked; its handler works.
    QTest::mouseClick(r.form->findChild<QPushButton*>("Command4"), Qt::LeftButton);
    EXPECT_EQ(r.sim.startPackets(), 0);
    r.form->debugControls().DownloadFPGA_Click();
    EXPECT_EQ(r.sim.startPackets(), 1);
    EXPECT_EQ(r.sim.streamed().size(), 128u);
    EXPECT_FALSE(downloadFpga->isHidden());
}

TEST(AboutInWindow, MenuShowsItEscapeClosesItAndALaterChoiceShowsItAgain) {
    FormRig r;
    ASSERT_TRUE(r.start());
    r.form->findChild<QAction*>("nFileAbout")->trigger();
    ASSERT_TRUE(r.form->about() && r.form->about()->isVisible());
    QApplication::setActiveWindow(r.form->about());
    QTest::keyClick(r.form->about(), Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_FALSE(r.form->about() && r.form->about()->isVisible());
    EXPECT_TRUE(r.form->isVisible());
    r.form->nFileAbout_Click();
    ASSERT_TRUE(r.form->about() && r.form->about()->isVisible());
}
