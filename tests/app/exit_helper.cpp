// Loaded by Qt into korva726eval when QT_LOAD_TESTABILITY is set, for the exit tests. It
// says "box" and the first line of a start-up box's text when one shows; once the window
// shows and has started USB it clicks "Read All Registers" over and over, says "busy" on
// standard output after the first click, and prints the number of clicks as it quits.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

extern "C" Q_DECL_EXPORT void qt_testability_init() {
    static int clicks = 0;
    static bool boxSaid = false;
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each line reaches the test as it is printed
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            if (!boxSaid) std::printf("box %s\n", qPrintable(box->text().section('\n', 0, 0)));
            boxSaid = true;
            return;
        }
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* button = w->findChild<QPushButton*>("ReadAllRegisterButton");
                button && w->isVisible()) {
                button->click();
                if (++clicks == 1) std::puts("busy");
            }
    });
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, [] { std::printf("%d\n", clicks); });
    // Queued twice: the window's own start of USB, queued as it shows, runs first.
    QTimer::singleShot(0, qApp,
                       [timer] { QTimer::singleShot(0, qApp, [timer] { timer->start(0); }); });
}
