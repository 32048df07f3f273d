// Loaded by Qt into korva726eval when QT_LOAD_TESTABILITY is set, for the exit test: once
// the window has started USB it clicks "Read All Registers" over and over, says "busy" on
// standard output after the first click, and prints the number of clicks as it quits.
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

extern "C" Q_DECL_EXPORT void qt_testability_init() {
    static int clicks = 0;
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each line reaches the test as it is printed
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* button = w->findChild<QPushButton*>("ReadAllRegisterButton")) {
                button->click();
                if (++clicks == 1) std::puts("busy");
            }
    });
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, [] { std::printf("%d\n", clicks); });
    // Queued twice: the window's own start of USB, queued as it shows, runs first.
    QTimer::singleShot(0, qApp,
                       [timer] { QTimer::singleShot(0, qApp, [timer] { timer->start(0); }); });
}
