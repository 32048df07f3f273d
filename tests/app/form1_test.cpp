// The application shell: start-up, tabs, the key sequence, shortcuts, ErrMsg, the ways the
// program ends, and the debug controls and About box in the window.
#include "afe/widgets/register_panels.h"
#include "device/capture_layer.h"
#include "fpga/widgets/fpga_grid.h"
#include "support/form_rig.h"
#include "support/hex_packets.h"
#include "support/pcap_reader.h"
#include "tools/widgets/about_box.h"
#include "tools/widgets/debug_controls.h"

#include <QAccessible>
#include <QAction>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <cstring>

using namespace korva;
using namespace korva::test;

namespace {

// The captions of the tabs in the strip, in order.
QStringList strip(QTabWidget* tabs) {
    QStringList captions;
    for (int i = 0; i < tabs->count(); ++i)
        captions << tabs->tabText(i);
    return captions;
}

// What a screen reader finds in a window: every accessible object, depth first.
void accessibleTree(QAccessibleInterface* at, std::vector<QAccessibleInterface*>& all) {
    all.push_back(at);
    for (int k = 0; k < at->childCount(); ++k)
        if (QAccessibleInterface* child = at->child(k)) accessibleTree(child, all);
}

} // namespace

// What the start makes of Config.ini, the mode table and the lock; each row on a fresh window.
// The test flag shows the Test Registers tab. A bad identifier, a lock that cannot be
// created (no other copy) and a damaged mode table are reported and the start goes on: USB
// opens, and nothing is read from the board.
TEST(StartUp, SettingsFlagLockAndModeTable) {
    QByteArray damaged = "h1\r\nh2\r\nmodes 33\r\n"; // 33 lines of 16 KiB each
    for (int i = 0; i < 33; ++i)
        damaged += i % 2 ? "M," + QByteArray(1 << 14, '9') + ",1,2,3,4;\r\n" // too large a number
                         : QByteArray(1 << 14, 'x') + ",1,2,3;\r\n";         // too few commas
    const struct {
        QByteArray ini; // none when empty
        bool shown;
        const char* message;
        char also = 0; // 'M': the damaged mode table
    } cases[] = {
        {"", false, ""},
        {"[flags]\r\ntest = \"True\"\r\n", true, ""},
        // A byte-order mark does not hide the first section.
        {"\xEF\xBB\xBF[Flags]\r\nTest=1\r\n[USB]\r\nVendorID=12345\r\n", true,
         "line 4: VendorID \"12345\""},
        // The first few problems, each short, and how many more there are.
        {"", false, "and 25 more", 'M'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini.toStdString() + c.message);
        FormRig r(true, c.ini);
        if (c.also == 'M') r.writeModeTable(damaged);
        ASSERT_TRUE(r.start());
        EXPECT_EQ(std::tuple(strip(r.form->tabs()).contains("Test Registers"),
                             r.form->HiddenModesShown(), r.form->tabs()->currentIndex()),
                  std::tuple(c.shown, c.shown, 0));
        ASSERT_EQ(r.prompts.messages.size(), *c.message ? 1u : 0u);
        const QString text = *c.message ? r.prompts.messages[0].text : "";
        EXPECT_TRUE(text.contains(c.message) && text.size() < 2000) << text.toStdString();
        EXPECT_TRUE(r.sim.initialised() && r.form->deviceContext().handle.load() != 0 &&
                    r.sim.log().empty());
    }
}

// One window per board: windows on the simulated board never refuse each other; a second
// window for the same board (here: no board yet, over USB) is refused with the two-line
// warning naming the board and brings the first one forward; a lock that cannot be made
// is said, and the window starts without it.
TEST(StartUp, OneWindowPerBoard) {
    const auto usbWindow = [](BoardConnection& c, FakePrompts& p, const QString& locks) {
        Form1Options o;
        o.lockDir = locks;
        o.configDir = locks;
        c.choose();
        return std::make_unique<Form1>(c, p, o);
    };
    FormRig simulated, another;
    EXPECT_TRUE(simulated.start() && another.start());
    EXPECT_TRUE(simulated.prompts.messages.empty() && another.prompts.messages.empty());

    BoardConnection first{BoardSelection{}}, second{BoardSelection{}};
    FakePrompts firstPrompts, secondPrompts;
    const QString locks = simulated.dir.path();
    auto firstWindow = usbWindow(first, firstPrompts, locks);
    ASSERT_TRUE(firstWindow->Form_Load());
    QSignalSpy raised(firstWindow.get(), &Form1::anotherCopyStarted);
    EXPECT_FALSE(usbWindow(second, secondPrompts, locks)->Form_Load());
    ASSERT_EQ(secondPrompts.messages.size(), 1u);
    EXPECT_EQ(secondPrompts.messages[0].icon, Prompts::Icon::Warning);
    EXPECT_EQ(secondPrompts.messages[0].text,
              " Another copy of the Application is running.\r\n"
              "Please close all previous instance of the application and restart\r\n\r\n"
              "It waits for a board to be plugged in.");
    EXPECT_TRUE(raised.count() == 1 || raised.wait(2000));
    EXPECT_FALSE(second.isOpen()); // the second copy never opened USB

    firstWindow.reset();
    const QString lock = QDir(another.dir.path()).filePath("korva726eval-no-board.lock");
    QDir().mkpath(lock); // a folder where the lock goes
    FakePrompts prompts;
    EXPECT_TRUE(usbWindow(second, prompts, another.dir.path())->Form_Load());
    ASSERT_FALSE(prompts.messages.empty());
    EXPECT_TRUE(prompts.messages[0].text.contains(lock + ", ") &&
                prompts.messages[0].text.contains("Is a directory"))
        << prompts.messages[0].text.toStdString();
}

// Keys in the active window: Ctrl+S and Ctrl+L reach the menu from a register box (which
// would take them as text keys).
TEST(Keyboard, ShortcutsReachTheMenuFromABox) {
    FormRig r;
    ASSERT_TRUE(r.start());
    ASSERT_TRUE(r.activate());
    r.form->reg_KORVA726(6)->setFocus();
    QTest::keyClick(r.form->reg_KORVA726(6), Qt::Key_S, Qt::ControlModifier); // both cancelled
    QTest::keyClick(r.form->reg_KORVA726(6), Qt::Key_L, Qt::ControlModifier);
    ASSERT_EQ(r.prompts.fileRequests.size(), 2u);
    EXPECT_EQ(r.prompts.fileRequests[0].caption + r.prompts.fileRequests[1].caption,
              "Save RegistersLoad Registers");
}

// After a click on a tab, keys go to the strip, where the last four, "mrkq" in any case,
// show the Test Registers tab, once. A tab the program has not shown is out of reach:
// Ctrl+Tab visits the tabs shown only; a screen reader finds those tabs only, a Press
// shows each one's page, and no hidden control in the window's tree does anything when
// pressed. Each progress bar has a name.
TEST(Keyboard, TheKeySequenceShowsTestRegistersAndHiddenTabsAreOutOfReach) {
    for (const char* typed : {"xyzMRK", "xyzMRKqmrkq"}) {
        SCOPED_TRACE(typed);
        const bool testShown = std::strlen(typed) > 6;
        FormRig r;
        ASSERT_TRUE(r.start());
        ASSERT_TRUE(r.activate());
        QTabWidget* tabs = r.form->tabs();
        QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(1).center());
        QTest::keyClicks(nullptr, typed);
        EXPECT_EQ(r.form->HiddenModesShown(), testShown);
        const QStringList shown = strip(tabs);
        EXPECT_EQ(shown.count("Test Registers"), int(testShown));
        QSet<QString> reached;
        for (int k = 0; k < 6; ++k, reached << tabs->tabText(tabs->currentIndex()))
            QTest::keyClick(tabs->tabBar(), Qt::Key_Tab, Qt::ControlModifier);
        EXPECT_EQ(reached, QSet<QString>(shown.begin(), shown.end()));
        QStringList listed;
        QAccessibleInterface* tabList = QAccessible::queryAccessibleInterface(tabs->tabBar());
        for (int k = 0; k < tabList->childCount(); ++k)
            if (QAccessibleInterface* tab = tabList->child(k);
                tab->role() == QAccessible::PageTab) {
                tab->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
                listed << tab->text(QAccessible::Name);
                EXPECT_EQ(tabs->tabText(tabs->currentIndex()), listed.back());
            }
        EXPECT_EQ(listed.join('|').toStdString(), shown.join('|').toStdString());

        r.sim.clearLog();
        std::vector<QAccessibleInterface*> tree;
        accessibleTree(QAccessible::queryAccessibleInterface(r.form.get()), tree);
        for (QAccessibleInterface* at : tree) {
            auto* widget = qobject_cast<QWidget*>(at->object()); // not a menu's item
            if (widget && at->state().invisible && at->actionInterface())
                for (const QString& action : at->actionInterface()->actionNames())
                    if (action != QAccessibleActionInterface::setFocusAction())
                        at->actionInterface()->doAction(action);
        }
        QTest::qWait(200); // pressed buttons click after a moment
        EXPECT_TRUE(r.sim.log().empty());
        for (QProgressBar* bar :
             {r.form->panels().ProgressBar1(), r.form->fpgaGrid().ProgressBar2()})
            EXPECT_FALSE(
                QAccessible::queryAccessibleInterface(bar)->text(QAccessible::Name).isEmpty());
    }
}

// Closing the window, Exit, and Ctrl+X in a register box (which cuts nothing) end the program
// and close USB.
TEST(Shutdown, EveryWayOutClosesUsb) {
    for (int way = 0; way < 3; ++way) {
        FormRig r;
        ASSERT_TRUE(r.start());
        ASSERT_TRUE(r.activate());
        QLineEdit* box = r.form->reg_KORVA726(3);
        box->setText("12");
        box->setFocus();
        box->selectAll();
        if (way == 0) r.form->close();
        if (way == 1) r.form->findChild<QAction*>("nMenuFileExit")->trigger();
        if (way == 2) QTest::keyClick(box, Qt::Key_X, Qt::ControlModifier);
        EXPECT_TRUE(r.sim.uninitCount() == 1 && !r.form->isVisible() && box->text() == "12") << way;
    }
}

// The fixed texts where nothing more is known; else which operation failed and why. After
// the box the program ends, and nothing more goes out whatever the user still clicks.
TEST(ErrMsg, TextsTitlesAndTheEnd) {
    // plugged; ErrMsg(5), a Write that times out, a Read All with a Short reply, Read All;
    // the title and text of the box
    const std::tuple<bool, char, const char*, const char*> cases[] = {
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
    for (const auto& [plugged, op, title, text] : cases) {
        SCOPED_TRACE(text);
        FormRig r(plugged);
        ASSERT_TRUE(r.start());
        QPushButton* readAll = r.form->findChild<QPushButton*>("ReadAllRegisterButton");
        if (op == 'W') r.sim.timeOutTransfer(2), (void)r.form->board().WriteByte_AFE(6, 0x80);
        if (op == 'S') r.sim.shortReplyAtTransfer(2, 4), readAll->click();
        if (op == 'R') readAll->click();
        if (op == 'E') r.form->ErrMsg(5);
        ASSERT_EQ(r.prompts.messages.size(), 1u);
        EXPECT_EQ(r.prompts.messages[0].title, title);
        EXPECT_EQ(r.prompts.messages[0].text, text);
        EXPECT_TRUE(r.ended == 1 && r.sim.uninitCount() == 1 && !r.form->isVisible());
        const std::size_t sent = r.sent().size();
        r.sim.plug();
        readAll->click();
        EXPECT_EQ(r.sent().size(), plugged ? sent : 0u);
    }
}

TEST(ErrMsg, TheProcessEndsWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakePrompts prompts;
    BoardConnection connection{SimulatedBoard()};
    EXPECT_EXIT(Form1(connection, prompts, Form1Options{}).ErrMsg(5), ::testing::ExitedWithCode(1),
                "");
}

TEST(ErrMsg, CaptureFileIsCompleteWhenTheBoxShows) {
    FormRig r;
    const std::string path = r.dir.filePath("usb.pcap").toStdString();
    BoardSelection selection = SimulatedBoard();
    selection.capture = path;
    BoardConnection captured(selection);
    captured.startCapture();
    r.form = std::make_unique<Form1>(captured, r.prompts, r.options());
    ASSERT_TRUE(r.form->Form_Load());
    r.form->Form_Activate();
    std::vector<UsbRecord> atBox;
    r.prompts.onMessage = [&] { // the exchange's records, after the descriptor exchange
        atBox = readCapture(path);
        std::erase_if(atBox, [](const UsbRecord& u) { return u.transferType != 3; });
    };
    captured.simulatedBoard()->failTransfer(2, status::Pipe); // the reply of the next exchange
    EXPECT_FALSE(r.form->board().WriteByte_AFE(0x05, 0x80));
    EXPECT_TRUE(atBox.size() == 4 && atBox[3].status == -32) << atBox.size();
    EXPECT_EQ(r.ended, 1);
    r.form.reset(); // before the capture it writes through
}

TEST(FileDialogs, DescriptionPatternFilterBecomesQtNameFilters) {
    EXPECT_EQ(QtNameFilters("Text File (*.TXT) |*.txt | All Files (*.*)|*.*|"),
              (QStringList{"Text File (*.TXT) (*.txt *.TXT)", "All Files (*.*) (*)"}));
    EXPECT_EQ(QtNameFilters("Images (*.png);;All (*)"), (QStringList{"Images (*.png)", "All (*)"}));
}

// In the window, the hidden DownloadFPGA button takes the bitstream from the working folder
// and stays shown after it; the hidden WipeEEPROM button wipes. The About box from the
// menu, once closed, shows again on the next choice.
TEST(ToolsInWindow, BitstreamOfTheWorkingFolderAndTheAboutBoxShownAgain) {
    FormRig r;
    ASSERT_TRUE(r.start());
    r.writeFile("fpga_top.bit", QByteArray(64, '\x5A'));
    auto* download = r.form->findChild<QPushButton*>("DownloadFPGA");
    emit download->clicked();
    EXPECT_EQ(r.sim.startPackets(), 1);
    EXPECT_EQ(r.sim.streamed().size(), 128u);
    EXPECT_TRUE(download->isVisibleTo(r.form.get()) && download->isEnabled());
    r.sim.clearLog();
    emit r.form->findChild<QPushButton*>("Command1")->clicked();
    EXPECT_EQ(r.sent(), hexPackets("80000000"));
    for (int i = 0; i < 2; ++i) {
        r.form->findChild<QAction*>("nFileAbout")->trigger();
        ASSERT_TRUE(r.form->about() && r.form->about()->isVisible());
        r.form->about()->close();
    }
}
