// The application shell: start-up, tabs, the key sequence, shortcuts, ErrMsg and the
// ways the program ends.
#include "device/capture_layer.h"
#include "support/pcap_reader.h"
#include "support/form_rig.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

using namespace korva;
using namespace korva::test;

TEST(StartUp, TitleTabsAndNoTrafficAtStart) {
    FormRig r;
    ASSERT_TRUE(r.start());
    EXPECT_EQ(r.form->windowTitle(), "Vexholme KORVA726EVAL Video AFE Evaluation Software");
    QTabWidget* tabs = r.form->tabs();
    EXPECT_EQ(tabs->objectName(), "SSTab1");
    ASSERT_EQ(tabs->count(), 6);
    EXPECT_TRUE(tabs->isTabVisible(0));
    EXPECT_FALSE(tabs->isTabVisible(1));
    EXPECT_TRUE(tabs->isTabVisible(2));
    for (int i = 3; i <= 5; ++i) {
        EXPECT_FALSE(tabs->isTabVisible(i));
        EXPECT_FALSE(tabs->isTabEnabled(i));
    }
    EXPECT_EQ(tabs->currentIndex(), 0);
    EXPECT_TRUE(r.sim.initialised());
    EXPECT_NE(r.form->deviceContext().handle.load(), 0u);
    EXPECT_TRUE(r.sim.log().empty()); // nothing is read from the board at start
    EXPECT_FALSE(r.form->windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST(StartUp, ConfigFlagDecidesTheTestTab) {
    for (const char* value : {"1", "True", "\"True\""}) {
        FormRig r(true, QByteArray("[flags]\r\ntest = ") + value + "\r\n");
        ASSERT_TRUE(r.start());
        EXPECT_TRUE(r.form->tabs()->isTabVisible(1)) << value;
        EXPECT_TRUE(r.form->tabs()->isTabEnabled(1)) << value;
        EXPECT_TRUE(r.form->HiddenModesShown());
    }
    for (const char* value : {"true", "yes", "0", ""}) {
        FormRig r(true, QByteArray("[Flags]\nTest=") + value + "\n");
        ASSERT_TRUE(r.start());
        EXPECT_FALSE(r.form->tabs()->isTabVisible(1)) << value;
        EXPECT_FALSE(r.form->HiddenModesShown());
    }
    // A byte-order mark does not hide the first section; a bad identifier is reported.
    FormRig r(true, "\xEF\xBB\xBF[Flags]\r\nTest=1\r\n[USB]\r\nVendorID=12345\r\n");
    ASSERT_TRUE(r.start());
    EXPECT_TRUE(r.form->HiddenModesShown());
    ASSERT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_TRUE(r.prompts.messages[0].text.contains("line 4: VendorID \"12345\""));
}

TEST(StartUp, SecondCopyIsRefusedWithTheTwoLineWarning) {
    FormRig first;
    ASSERT_TRUE(first.start());
    FakePrompts prompts;
    SimBoard sim;
    Form1 second(sim, prompts, first.options());
    EXPECT_FALSE(second.Form_Load());
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].icon, Prompts::Icon::Warning);
    EXPECT_EQ(prompts.messages[0].title, "Vexholme KORVA726EVAL Video AFE Evaluation Software");
    EXPECT_EQ(prompts.messages[0].text,
              " Another copy of the Application is running.\r\n"
              "Please close all previous instance of the application and restart");
    EXPECT_FALSE(sim.initialised()); // the second copy never opened USB
    EXPECT_TRUE(first.form->isVisible());
}

// A lock that cannot be created is no other copy: the program says what is wrong and starts.
TEST(StartUp, UnusableLockIsReportedAsWhatItIs) {
    for (auto [lock, reason] : {std::pair{".", "Is a directory"},
                                std::pair{"missing/korva.lock", "No such file or directory"}}) {
        FormRig r;
        Form1Options options = r.options();
        options.lockFile = r.dir.filePath(lock);
        r.form = std::make_unique<Form1>(r.sim, r.prompts, options);
        ASSERT_TRUE(r.start()) << lock;
        ASSERT_EQ(r.prompts.messages.size(), 1u);
        const QString text = r.prompts.messages[0].text;
        EXPECT_TRUE(text.contains(options.lockFile + ", ") && text.contains(reason))
            << text.toStdString();
    }
}

// 33 damaged lines of a megabyte each: the start goes on, and the warning shows the first
// few problems, each short, and how many more there are.
TEST(StartUp, DamagedModeTableGivesAShortWarning) {
    FormRig r;
    QByteArray table = "h1\r\nh2\r\nmodes 33\r\n";
    for (int i = 0; i < 33; ++i)
        table += i % 2 ? "M," + QByteArray(1 << 20, '9') + ",1,2,3,4;\r\n" // too large a number
                       : QByteArray(1 << 20, 'x') + ",1,2,3;\r\n";         // too few commas
    r.writeModeTable(table);
    ASSERT_TRUE(r.start());
    ASSERT_EQ(r.prompts.messages.size(), 1u);
    const QString text = r.prompts.messages[0].text;
    EXPECT_LT(text.size(), 2000);
    EXPECT_TRUE(text.contains("and 25 more")) << text.toStdString();
}

TEST(TabStrip, KeySequenceInAnyCaseShowsTheTestTab) {
    FormRig r;
    ASSERT_TRUE(r.start());
    ASSERT_TRUE(QTest::qWaitForWindowActive(r.form.get()));
    r.form->reg_KORVA726(6)->setFocus();
    // A click on a tab, then keys to whatever has the focus: the strip took it.
    QTabBar* bar = r.form->tabs()->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(2).center());
    QTest::keyClicks(nullptr, "xyzMRK");
    EXPECT_FALSE(r.form->tabs()->isTabVisible(1));
    QTest::keyClicks(nullptr, "Q");
    EXPECT_TRUE(r.form->tabs()->isTabVisible(1));
    EXPECT_TRUE(r.form->tabs()->isTabEnabled(1));
    EXPECT_TRUE(r.form->HiddenModesShown());
    QTest::keyClicks(bar, "mrkq"); // again: nothing further changes
    EXPECT_TRUE(r.form->tabs()->isTabVisible(1));
}

TEST(TabStrip, DebugTabsCannotBeReached) {
    FormRig r;
    ASSERT_TRUE(r.start());
    r.form->ShowHiddenModes();
    QTabWidget* tabs = r.form->tabs();
    tabs->tabBar()->setFocus();
    for (int i = 0; i < 12; ++i) {
        QTest::keyClick(tabs, Qt::Key_Tab, Qt::ControlModifier);
        EXPECT_LE(tabs->currentIndex(), 2);
        QTest::keyClick(tabs->tabBar(), Qt::Key_Right);
        EXPECT_LE(tabs->currentIndex(), 2);
    }
}

TEST(Shortcuts, MenuCaptionsAndKeys) {
    FormRig r;
    ASSERT_TRUE(r.start());
    auto action = [&](const char* name) { return r.form->findChild<QAction*>(name); };
    ASSERT_TRUE(action("nFileSaveRegisterAs"));
    EXPECT_EQ(action("nFileSaveRegisterAs")->text(), "Save Resisters");
    EXPECT_EQ(action("nFileSaveRegisterAs")->shortcut(), QKeySequence("Ctrl+S"));
    EXPECT_EQ(action("nFileLoadRegisterFrom")->text(), "Load Registers");
    EXPECT_EQ(action("nFileLoadRegisterFrom")->shortcut(), QKeySequence("Ctrl+L"));
    EXPECT_EQ(action("nFileAbout")->text(), "About");
    EXPECT_EQ(action("nMenuFileExit")->text(), "E&xit");
    EXPECT_EQ(action("nVideoModeInput")->text(), "Select &Input and Video Mode");
}

TEST(Shortcuts, CtrlXFromARegisterBoxEndsTheProgramAndClosesUsb) {
    FormRig r;
    ASSERT_TRUE(r.start());
    QApplication::setActiveWindow(r.form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(r.form.get()));
    QLineEdit* box = r.form->reg_KORVA726(3);
    box->setFocus();
    box->setText("12");
    box->selectAll();
    QTest::keyClick(box, Qt::Key_X, Qt::ControlModifier);
    EXPECT_FALSE(r.form->isVisible());
    EXPECT_EQ(r.sim.uninitCount(), 1);
    EXPECT_EQ(box->text(), "12"); // not cut: the shortcut went to the menu
}

TEST(Shortcuts, CtrlSAndCtrlLReachTheirItemsFromATextBox) {
    FormRig r;
    ASSERT_TRUE(r.start());
    QApplication::setActiveWindow(r.form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(r.form.get()));
    int saves = 0, loads = 0;
    QObject::connect(r.form->findChild<QAction*>("nFileSaveRegisterAs"), &QAction::triggered,
                     [&] { ++saves; });
    QObject::connect(r.form->findChild<QAction*>("nFileLoadRegisterFrom"), &QAction::triggered,
                     [&] { ++loads; });
    QLineEdit* address = r.form->findChild<QLineEdit*>("AddressBox");
    address->setFocus();
    QTest::keyClick(address, Qt::Key_S, Qt::ControlModifier);
    QTest::keyClick(address, Qt::Key_L, Qt::ControlModifier);
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(loads, 1);
}

// The fixed texts where nothing more is known; else which operation failed and why.
TEST(ErrMsg, TextsAndTitles) {
    const std::tuple<std::function<void(FormRig&)>, const char*, const char*> cases[] = {
        {[](FormRig& r) { r.form->ErrMsg(5); }, "KORVA726 USB Error", "Unknown Error."},
        {[](FormRig& r) {
             r.sim.timeOutTransfer(2);
             r.form->board().WriteByte_AFE(6, 0x80);
         },
         "KORVA726 USB Error",
         "WriteByte_AFE (register 0x06, value 0x80): reading the reply: LIBUSB_ERROR_TIMEOUT: "
         "Operation timed out"},
        {[](FormRig& r) {
             r.sim.shortReplyAtTransfer(2, 4);
             r.form->ReadAllRegisterButton_Click();
         },
         "KORVA726 USB  Error",
         "ReadBurstI2C (device 0x4C, register 0x00, 64 bytes): short reply: the board answered "
         "with 4 bytes; the operation reads 64"},
    };
    for (const auto& [action, title, text] : cases) {
        FormRig r;
        ASSERT_TRUE(r.start());
        action(r);
        ASSERT_EQ(r.prompts.messages.size(), 1u);
        EXPECT_EQ(r.prompts.messages[0].icon, Prompts::Icon::Critical);
        EXPECT_EQ(r.prompts.messages[0].title, title);
        EXPECT_EQ(r.prompts.messages[0].text, text);
        EXPECT_EQ(r.ended, 1);
        EXPECT_EQ(r.sim.uninitCount(), 1);
        EXPECT_FALSE(r.form->isVisible());
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

TEST(ErrMsg, NoBoardFirstReportingOperationEndsTheProgram) {
    FormRig r(false);
    ASSERT_TRUE(r.start());
    EXPECT_TRUE(r.prompts.messages.empty()); // no message at start without a board
    QTest::mouseClick(r.form->findChild<QPushButton*>("ReadAllRegisterButton"), Qt::LeftButton);
    ASSERT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_EQ(r.prompts.messages[0].title, "KORVA726 USB  Error");
    EXPECT_EQ(r.prompts.messages[0].text,
              "Selected Device Driver was not found. Perhaps no device is connected.");
    EXPECT_EQ(r.ended, 1);
    EXPECT_EQ(r.sim.uninitCount(), 1);
    EXPECT_TRUE(r.sent().empty());
    // Nothing more goes out after the error, whatever the user still clicks.
    r.sim.plug();
    QTest::mouseClick(r.form->findChild<QPushButton*>("ReadAllRegisterButton"), Qt::LeftButton);
    EXPECT_TRUE(r.sent().empty());
}

TEST(Shutdown, ClosingTheWindowAndExitCloseUsb) {
    {
        FormRig r;
        ASSERT_TRUE(r.start());
        r.form->close();
        EXPECT_EQ(r.sim.uninitCount(), 1);
    }
    {
        FormRig r;
        ASSERT_TRUE(r.start());
        r.form->findChild<QAction*>("nMenuFileExit")->trigger();
        EXPECT_EQ(r.sim.uninitCount(), 1);
        EXPECT_FALSE(r.form->isVisible());
    }
}

TEST(FileDialogs, DescriptionPatternFilterBecomesQtNameFilters) {
    EXPECT_EQ(QtNameFilters("Text File (*.TXT) |*.txt | All Files (*.*)|*.*|"),
              (QStringList{"Text File (*.TXT) (*.txt *.TXT)", "All Files (*.*) (*)"}));
    EXPECT_EQ(QtNameFilters("Images (*.png);;All (*)"), (QStringList{"Images (*.png)", "All (*)"}));
}
