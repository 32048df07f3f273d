// A main window on the simulated board, with recorded prompts and a recorded end of the
// program, for widget tests.
#pragma once

#include "app/form1.h"
#include "config/ini_reader.h"
#include "device/sim_board.h"
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "support/recording_sink.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace korva::test {

struct FormRig {
    QTemporaryDir dir;
    BoardConnection connection{SimulatedBoard()};
    SimBoard& sim = *connection.simulatedBoard();
    FakePrompts prompts;
    int ended = 0;
    std::unique_ptr<Form1> form;

    explicit FormRig(bool plugged = true, const QByteArray& configIni = {}) {
        if (!plugged) sim.unplug();
        sim.setLogging(true);
        if (!configIni.isEmpty()) writeFile("Config.ini", configIni);
        form = std::make_unique<Form1>(connection, prompts, options());
    }
    Form1Options options() {
        Form1Options o;
        o.configDir = dir.path();
        // As the program reads them with the board's identifiers.
        o.usbProblems =
            ReadUsbMatch(dir.filePath("Config.ini").toStdString(), MatchEntry{}).problems;
        o.lockDir = dir.path();
        o.workingDir = dir.path();
        o.endProgram = [this] { ++ended; };
        // Each key release writes at the next turn of the event loop, as the 0.5 s delay
        // would: after the keys sent before it, with the box's text as it then stands.
        o.registerWriteDelay = std::chrono::milliseconds(0);
        return o;
    }
    // A mode_table.dat in the rig's working directory (before start()).
    void writeModeTable(const QByteArray& text) { writeFile("mode_table.dat", text); }
    void writeFile(const QString& name, const QByteArray& bytes) {
        QFile f(dir.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
    }
    // Load, show and start USB as the program does.
    bool start() {
        if (!form->Form_Load()) return false;
        form->show();
        form->Form_Activate();
        sim.clearLog();
        return true;
    }
    Packets sent() const { return sim.commandPackets(); }
    // Lets the writes of released keys happen.
    void settle() { QCoreApplication::processEvents(); }
    // Keyboard shortcuts and the focus go to the active window only.
    bool activate() {
        QApplication::setActiveWindow(form.get());
        return QTest::qWaitForWindowActive(form.get());
    }
};

} // namespace korva::test
