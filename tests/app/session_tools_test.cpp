// What the window keeps around its writes, in the real main window on the simulated board:
// undo and redo of register writes, the comparison with a dump file, the Write Log window,
// and the settings kept between runs.
#include "afe/dump_file.h"
#include "afe/widgets/dump_commands.h"
#include "afe/widgets/register_panels.h"
#include "app/session_tools.h"
#include "app/settings.h"
#include "device/textnum.h"
#include "support/contrast.h"
#include "support/form_rig.h"
#include "support/hex_packets.h"
#include "video/widgets/de_generator.h"
#include "video/widgets/mode_dialog.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTreeView>
#include <gtest/gtest.h>

#include <functional>

using namespace korva;
using namespace korva::test;

namespace {

std::string w(int address, int value) { // a register write, as hexPackets() reads it
    return "23" + HexByte(std::uint8_t(address)) + HexByte(std::uint8_t(value)) + " ";
}

struct Session : FormRig {
    Session() {
        writeModeTable("Test modes\r\n\r\nNumber of modes: 02\r\nMode Z,100,200,10,20,300;\r\n"
                       "Mode A,230,1382,41,1065,1500;\r\n");
        EXPECT_TRUE(start() && activate());
    }
    SessionTools& tools() { return form->sessionTools(); }
    QLineEdit* box(int i) { return form->reg_KORVA726(i); }
    // A key typed in a widget of the window, and the writes of its releases (a box holds
    // back a release that has a time stamp, as an auto-repeat may follow).
    void key(QWidget* at, Qt::Key k, Qt::KeyboardModifiers m = {}) {
        at->setFocus();
        QTest::keyClick(at, k, m);
        QTest::qWait(2 * RegisterBox::kRepeatWindowMs);
        settle();
    }
    QString dumpFile(const QString& name, const RegisterValues& values) {
        writeFile(name, QByteArray::fromStdString(FormatDump(DumpTexts(values), true)));
        return dir.filePath(name);
    }
    void load(const QString& file) {
        prompts.fileAnswers.push_back(file);
        form->nFileLoadRegisterFrom_Click();
    }
    // Every box of a register the window has read shows what the chip holds.
    void expectBoxesShowTheBoard() {
        for (int a = 0; a <= kAfeLastAddress; ++a)
            EXPECT_TRUE(!form->panels().boardValue(a) ||
                        box(a)->text().toStdString() == HexByte(sim.afe(a)))
                << a;
    }
    // An Edit item: whether the keys reach it, and its text as the menu shows it when opened.
    std::pair<bool, QString> item(QAction* a) {
        const bool enabled = a->isEnabled();
        emit form->findChild<QMenu*>("mEdit")->aboutToShow();
        EXPECT_EQ(a->isEnabled(), enabled);
        return {enabled, a->text()};
    }
};

} // namespace

// Each row on a fresh window: an action, then Ctrl+Z and Ctrl+Shift+Z typed in the window.
// Undo writes back what the boxes showed before the action and reads back the written span;
// redo writes what the action wrote. A register never read is not restored, and the undo says so.
TEST(UndoRedo, EachStepWritesBackWhatTheBoxesShowed) {
    const auto& powerOn = SimBoard::kAfePowerOn;
    RegisterValues file = powerOn;
    for (auto& v : file)
        v ^= 0x11;
    auto loaded = [](const RegisterValues& values) { // what a load's undo or redo sends
        std::string text;
        for (int a = 3; a <= kAfeLastAddress; ++a) // the status registers keep their values
            text += w(a, values[static_cast<std::size_t>(a)]);
        return text + "034C033F";
    };
    const struct {
        const char* what;
        std::function<void(Session&)> act;
        const char* step;
        std::string undo;
        const char* said; // a piece of the message the undo shows; "" for none
        std::string redo;
    } rows[] = {
        {"a box stepped",
         [](Session& s) {
             s.form->ReadAllRegisterButton_Click();
             s.key(s.box(6), Qt::Key_Up);
         },
         "Red Gain 0x81", w(6, 0x80) + "034C0601", "", w(6, 0x81) + "034C0601"},
        {"an individual write to a box never read",
         [](Session& s) {
             s.form->panels().AddressBox()->setText("10");
             s.form->panels().DataBox()->setText("5A");
             s.form->panels().WriteRegCommand_Click();
         },
         "PLL Phase 0x5A", "", "PLL Phase (0x10) was not restored: its box had never been read",
         w(0x10, 0x5A) + "034C1001"},
        {"a gang",
         [](Session& s) {
             s.form->ReadAllRegisterButton_Click();
             s.form->panels().GangOffset()->setChecked(true);
             s.key(s.box(10), Qt::Key_PageUp);
         },
         "GangOffset 0x50", w(9, 0x40) + w(10, 0x40) + w(11, 0x40) + "034C0903", "",
         w(9, 0x50) + w(10, 0x50) + w(11, 0x50) + "034C0903"},
        {"a load after Read All",
         [&](Session& s) {
             s.form->ReadAllRegisterButton_Click();
             s.load(s.dumpFile("changed.txt", file));
         },
         "Load changed.txt", loaded(powerOn), "", loaded(file)},
        {"a load before any read", [&](Session& s) { s.load(s.dumpFile("changed.txt", file)); },
         "Load changed.txt", "", "63 registers were not restored", loaded(file)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Session s;
        row.act(s);
        SessionTools& t = s.tools();
        EXPECT_EQ(s.item(t.undoItem()), std::pair(true, "Undo " + QString(row.step)));
        s.sim.clearLog();
        QWidget* button = s.form->panels().ReadAllRegisterButton(); // takes no key itself
        s.key(button, Qt::Key_Z, Qt::ControlModifier);
        EXPECT_EQ(s.sent(), hexPackets(row.undo));
        EXPECT_TRUE(*row.said ? s.prompts.messages.size() == 1 &&
                                    s.prompts.messages[0].text.contains(row.said)
                              : s.prompts.messages.empty());
        s.expectBoxesShowTheBoard();
        EXPECT_EQ(s.item(t.redoItem()), std::pair(true, "Redo " + QString(row.step)));
        s.sim.clearLog();
        s.key(button, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        EXPECT_EQ(s.sent(), hexPackets(row.redo));
        s.expectBoxesShowTheBoard();
        EXPECT_EQ(s.item(t.undoItem()), std::pair(true, "Undo " + QString(row.step)));
    }
}

// Ctrl+Z in a register box reaches the history (the box's key filter drops it, and its
// release rewrites the box as every release does); in a DE box it undoes the typing. FPGA
// writes and a mode set-up are not undone: Undo is greyed and says why.
TEST(UndoRedo, CtrlZInTheBoxesAndWhatIsNotUndone) {
    Session s;
    SessionTools& t = s.tools();
    s.form->ReadAllRegisterButton_Click();
    s.key(s.box(6), Qt::Key_Up);
    s.form->tabs()->setCurrentIndex(1);
    QLineEdit* hstart = s.form->deGenerator().Hstart();
    s.key(hstart, Qt::Key_End);
    s.key(hstart, Qt::Key_9);
    EXPECT_EQ(s.item(t.undoItem()),
              std::pair(false, QString("Can't Undo Horizontal DEstart set to 2309 (FPGA writes "
                                       "are not undone)")));
    s.key(hstart, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(hstart->text(), "230");
    EXPECT_EQ(s.box(6)->text(), "81");

    s.form->tabs()->setCurrentIndex(0);
    s.key(s.box(6), Qt::Key_Up);
    const std::string rewrite82 = w(6, 0x82) + "034C0601 ", rewrite81 = w(6, 0x81) + "034C0601 ";
    const struct {
        Qt::KeyboardModifiers keys;
        std::string sent; // the step, then a rewrite of the box for each modifier released
        std::pair<bool, QString> undo, redo;
    } steps[] = {
        {Qt::ControlModifier,
         rewrite81 + rewrite81,
         {false, "Can't Undo Horizontal DEstart set to 230 (FPGA writes are not undone)"},
         {true, "Redo Red Gain 0x82"}},
        {Qt::ControlModifier | Qt::ShiftModifier,
         rewrite82 + rewrite82 + rewrite82,
         {true, "Undo Red Gain 0x82"},
         {false, "Redo"}},
    };
    for (const auto& step : steps) {
        s.sim.clearLog();
        s.key(s.box(6), Qt::Key_Z, step.keys);
        EXPECT_EQ(s.sent(), hexPackets(step.sent));
        EXPECT_EQ(std::pair(s.item(t.undoItem()), s.item(t.redoItem())),
                  std::pair(step.undo, step.redo));
        // A DE change that writes nothing (the same count) takes nothing from the history.
        s.form->tabs()->setCurrentIndex(1);
        s.key(hstart, Qt::Key_Home);
        s.key(hstart, Qt::Key_0);
        s.key(hstart, Qt::Key_Backspace);
        s.form->tabs()->setCurrentIndex(0);
    }

    s.form->nVideoModeInput_Click();
    s.form->dialog().findChild<QRadioButton*>("InputConnectorSelect_2")->click();
    s.form->dialog().OKButton_Click();
    EXPECT_EQ(s.item(t.undoItem()),
              std::pair(false, QString("Can't Undo Mode Mode A on Component 1 (mode set-ups "
                                       "are not undone)")));
}

// A file that differs in three registers: each differing box is marked, readably in light and
// dark palettes, with the file's value in its tool tip; the next value shown in a box clears
// its mark; a file the board matches marks nothing.
TEST(CompareWithFile, MarksTheDifferingBoxesUntilTheirNextValue) {
    Session s;
    RegisterValues file = SimBoard::kAfePowerOn;
    file[0x06] = 0x7F, file[0x22] = 0x11, file[0x41] = 0x01;
    const QString differs = s.dumpFile("differs.txt", file);
    const QString same = s.dumpFile("same.txt", SimBoard::kAfePowerOn);
    QAction* compare = s.form->findChild<QAction*>("nFileCompareRegisters");
    const QPalette light = QApplication::palette();
    QPalette dark = light;
    for (auto [role, colour] : {std::pair(QPalette::Base, "#202020"),
                                {QPalette::Text, "#e0e0e0"},
                                {QPalette::Window, "#303030"},
                                {QPalette::WindowText, "#e0e0e0"}})
        dark.setColor(role, QColor(colour));
    for (const QPalette& palette : {light, dark}) {
        QApplication::setPalette(palette);
        s.prompts.fileAnswers.push_back(differs);
        s.sim.clearLog();
        compare->trigger();
        EXPECT_EQ(s.sent(), hexPackets("034C0040 034C4002"));
        EXPECT_EQ(s.prompts.messages.back().text,
                  QString("3 registers differ from \"%1\".").arg(differs));
        for (int a = 0; a <= kAfeLastAddress; ++a)
            EXPECT_EQ(s.form->panels().marked(a), a == 0x06 || a == 0x22 || a == 0x41) << a;
        EXPECT_EQ(s.box(6)->toolTip(), "differs.txt holds 7F; the board 80");
        for (int i : {6, 0x22 + kMirrorOffset}) {
            EXPECT_GE(drawnContrast(s.box(i)), 4.5) << i;
            EXPECT_NE(s.box(i)->grab().toImage().pixelColor(3, 3),
                      s.box(7)->grab().toImage().pixelColor(3, 3));
        }
    }
    QApplication::setPalette(light);
    s.key(s.box(6), Qt::Key_Up);
    EXPECT_EQ(
        std::tuple(s.form->panels().marked(6), s.box(6)->toolTip(), s.form->panels().marked(0x22)),
        std::tuple(false, QString(), true));
    s.sim.setAfe(6, 0x80);
    s.prompts.fileAnswers.push_back(same);
    compare->trigger();
    EXPECT_EQ(s.prompts.messages.back().text, QString("All 66 registers match \"%1\".").arg(same));
    for (int a = 0; a <= kAfeLastAddress; ++a)
        EXPECT_FALSE(s.form->panels().marked(a)) << a;
}

// Ctrl+Shift+L opens the modeless Write Log window: each write with its action, newest last,
// and what the chip read back; Clear empties it.
TEST(WriteLogWindow, ListsTheWritesWithTheirActions) {
    Session s;
    s.key(s.form->panels().ReadAllRegisterButton(), Qt::Key_L,
          Qt::ControlModifier | Qt::ShiftModifier);
    WriteLogWindow* window = s.tools().logWindow();
    ASSERT_TRUE(window && window->isVisible());
    EXPECT_EQ(std::pair(window->windowTitle(), window->isModal()),
              std::pair(QString("Write Log"), false));
    s.form->ReadAllRegisterButton_Click();
    s.key(s.box(6), Qt::Key_Up);
    s.form->panels().GangGain()->setChecked(true);
    s.key(s.box(8), Qt::Key_Down);
    auto rows = [&] {
        QStringList all;
        const QAbstractItemModel* m = window->list()->model();
        for (int i = 0; i < m->rowCount(); ++i)
            all << m->index(i, WriteLogModel::ActionColumn).data().toString() + ": " +
                       m->index(i, WriteLogModel::WriteColumn).data().toString();
        return all;
    };
    EXPECT_EQ(rows(),
              QStringList({
                  "Red Gain (0x06) stepped up: WriteByte_AFE 0x06 \u2190 0x81, read back 0x81",
                  "Blue Gain (0x08) stepped down (GangGain): WriteByte_AFE 0x06 \u2190 0x7F, read "
                  "back 0x7F",
                  "Blue Gain (0x08) stepped down (GangGain): WriteByte_AFE 0x07 \u2190 0x7F, read "
                  "back 0x7F",
                  "Blue Gain (0x08) stepped down (GangGain): WriteByte_AFE 0x08 \u2190 0x7F, read "
                  "back 0x7F",
              }));
    window->findChild<QPushButton*>("ClearWriteLog")->click();
    EXPECT_TRUE(rows().isEmpty());
}

// The dump dialogs' folder and the Write Log window's place and state survive a restart;
// after a reset (--reset-settings) the window starts from the defaults. Config.ini is
// never written.
TEST(SettingsKept, SurviveARestartAndAResetClearsThem) {
    QString folder;
    QRect place;
    {
        Session s;
        folder = s.dir.filePath("dumps");
        QDir().mkpath(folder);
        s.prompts.fileAnswers.push_back(folder + "/saved.txt");
        s.form->nFileSaveRegisterAs_Click();
        s.tools().showWriteLog();
        s.tools().logWindow()->setGeometry(40, 50, 500, 300);
        place = s.tools().logWindow()->geometry();
        s.form->close();
        EXPECT_FALSE(QFile::exists(s.dir.filePath("Config.ini")));
    }
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset);
        if (reset) Settings::reset();
        Session s;
        s.form->nFileLoadRegisterFrom_Click(); // cancelled: the dialog's suggestion is all
        EXPECT_EQ(s.prompts.fileRequests.back().fileName,
                  reset ? QString("registers") : folder + "/registers");
        const WriteLogWindow* window = s.tools().logWindow();
        EXPECT_EQ(window && window->isVisible(), !reset);
        EXPECT_TRUE(reset || (window && window->geometry() == place));
    }
}

// A run of the window (boxes typed and stepped, a gang write, a mode OK with the converter,
// a DE edit, a load and an undo), saved as a korva726ctl script and as a Python script:
// each, replayed on a fresh simulated board, leaves every AFE register and FPGA registers
// 0x00..0x24 as the window left its board.
TEST(WriteLogReplay, BothExportsLeaveAFreshBoardAsTheWindowLeftIt) {
    Session s;
    s.form->ReadAllRegisterButton_Click();
    s.box(0x10)->setFocus();
    s.box(0x10)->selectAll();
    QTest::keyClicks(s.box(0x10), "3c");
    s.key(s.box(0x11), Qt::Key_Up);
    s.form->panels().GangGain()->setChecked(true);
    s.key(s.box(7), Qt::Key_PageDown);
    s.form->nVideoModeInput_Click();
    s.form->dialog().findChild<QRadioButton*>("InputConnectorSelect_2")->click();
    s.form->dialog().OKButton_Click();
    s.settle(); // the hidden dialog gives up being the active window
    ASSERT_TRUE(s.activate());
    s.form->tabs()->setCurrentIndex(1);
    QLineEdit* vstop = s.form->deGenerator().Vstop();
    vstop->selectAll();
    QTest::keyClicks(vstop, "777");
    RegisterValues file = SimBoard::kAfePowerOn;
    file[0x20] = 0x99, file[0x30] = 0x5A;
    s.load(s.dumpFile("load.txt", file));
    s.form->panels().GangGain()->setChecked(false);
    s.form->tabs()->setCurrentIndex(0);
    s.key(s.box(0x12), Qt::Key_Down);
    s.key(s.form->panels().ReadAllRegisterButton(), Qt::Key_Z, Qt::ControlModifier);
    ASSERT_EQ(s.box(0x12)->text(), "08"); // undone

    // As korva726ctl get prints them: AFE 0x00..0x41, then FPGA 0x00..0x24.
    const auto hex = [](int v) {
        return "0x" + QByteArray::fromStdString(HexByte(std::uint8_t(v))).toLower().toStdString();
    };
    std::string expected, scriptDump = "get 0x00 64\nget 0x40 2\n";
    for (int a = 0; a <= kAfeLastAddress; ++a)
        expected += hex(s.sim.afe(a)) + "\n";
    for (int a = 0; a <= 0x24; ++a)
        expected += hex(s.sim.fpga(a)) + "\n", scriptDump += "fpga get " + hex(a) + "\n";
    s.tools().showWriteLog();
    WriteLogWindow* window = s.tools().logWindow();
    const struct {
        const char* file;
        void (WriteLogWindow::*save)();
        std::string dump; // appended: prints what the board holds
        QString program;
        QStringList arguments;
    } exports[] = {
        {"replay.txt",
         &WriteLogWindow::saveAsScript,
         scriptDump,
         KORVA726CTL,
         {"--simulate", "run", "replay.txt"}},
#ifdef KORVA_PYTHON
        {"replay.py",
         &WriteLogWindow::saveAsPython,
         "    values = board.afe.read_block(0, 64) + board.afe.read_block(0x40, 2)\n"
         "    print(\"\".join(f\"0x{v:02x}\\n\" for v in values + board.fpga.dump()), end=\"\")\n",
         KORVA_PYTHON,
         {"replay.py", "--simulate"}},
#endif
    };
    for (const auto& e : exports) {
        SCOPED_TRACE(e.file);
        s.prompts.fileAnswers.push_back(s.dir.filePath(e.file));
        (window->*e.save)();
        QFile script(s.dir.filePath(e.file));
        ASSERT_TRUE(script.open(QIODevice::Append));
        script.write(e.dump.c_str());
        script.close();
        QProcess replay;
        replay.setWorkingDirectory(s.dir.path());
#ifdef KORVA_PYTHON_TREE
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PYTHONPATH", KORVA_PYTHON_TREE);
        replay.setProcessEnvironment(env);
#endif
        replay.start(e.program, e.arguments);
        ASSERT_TRUE(replay.waitForFinished(30000));
        EXPECT_EQ(replay.exitCode(), 0) << replay.readAllStandardError().toStdString();
        EXPECT_EQ(replay.readAllStandardOutput().toStdString(), expected);
    }
}
