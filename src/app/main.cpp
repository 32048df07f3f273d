#include "app/board_choice.h"
#include "app/form1.h"
#include "app/settings.h"
#include "config/ini_reader.h"
#include "device/board_connection.h"
#include "ui/prompts.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcTrace, "korva.usb.trace", QtWarningMsg)

namespace {

// Board operations refuse arguments they cannot send with an exception; the windows
// check their input first, so one reaching the event loop is a fault of the program.
// Say what it was instead of letting the process abort in the middle of a session.
class Application : public QApplication {
  public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            qCritical("unexpected error: %s", e.what());
            QMessageBox::critical(activeWindow(), korva::kProgramTitle,
                                  QString("The operation was not carried out: %1").arg(e.what()));
        }
        return false;
    }
};

constexpr char kWaysOut[] = "start it from a desktop session, under xvfb-run, or with "
                            "QT_QPA_PLATFORM=offscreen";

// True when the window system can be told where to open the window: a platform chosen
// explicitly, or an X11 or Wayland display named in the environment.
bool displayNamed(int argc, char* argv[]) {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return true;
    for (int i = 1; i < argc; ++i)
        if (qstrcmp(argv[i], "-platform") == 0 || qstrcmp(argv[i], "--platform") == 0) return true;
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// While the application object is created: a window system that cannot be opened (a
// display that does not answer, a missing platform plugin) ends the program with one
// line and status 2 instead of an abort.
QtMessageHandler previousHandler = nullptr;
void startUpMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        previousHandler(type, context, text);
        return;
    }
    std::fprintf(stderr, "korva726eval: the window system could not be opened (%s); %s\n",
                 qUtf8Printable(text.section('\n', 0, 0)), kWaysOut);
    std::fflush(stderr);
    std::_Exit(2);
}

// SIGTERM and SIGINT end the program as closing its window does: the handler only writes a
// byte to a pipe; the event loop reads it and quits, and the destructors then close USB and
// write out the capture file. Before the event loop runs (a start-up box waits for its OK),
// quitting does nothing: the box is closed instead, no further box shows, and main ends the
// program before its window shows.
int signalPipe[2] = {-1, -1};
bool endRequested = false;
bool eventLoopRunning = false;

void onEndSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

void quitOnEndSignals() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char byte = 0;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        endRequested = true;
        if (eventLoopRunning)
            QCoreApplication::quit();
        else if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            box->reject();
    });
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// The message boxes and file dialogs, none of which shows once the program is ending (a box
// answers as its Cancel or OK would).
class ProgramPrompts : public korva::QtPrompts {
  public:
    void message(QWidget* parent, Icon icon, const QString& title, const QString& text) override {
        if (!endRequested) QtPrompts::message(parent, icon, title, text);
    }
    bool confirm(QWidget* parent, const QString& title, const QString& text) override {
        return !endRequested && QtPrompts::confirm(parent, title, text);
    }
    QString saveFileName(QWidget* parent, const FileRequest& request) override {
        return endRequested ? QString() : QtPrompts::saveFileName(parent, request);
    }
    QString openFileName(QWidget* parent, const FileRequest& request) override {
        return endRequested ? QString() : QtPrompts::openFileName(parent, request);
    }
    int choose(QWidget* parent, const QString& title, const QString& text,
               const QStringList& entries, int preselected) override {
        return endRequested ? -1 : QtPrompts::choose(parent, title, text, entries, preselected);
    }
};

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication::setApplicationName("korva726eval");
    QCoreApplication::setApplicationVersion(KORVA_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Control program for the KORVA726EVAL video AFE evaluation board.");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    QCommandLineOption simulate("simulate", "Run against the built-in simulated board.");
    QCommandLineOption capture("capture",
                               "Write every USB transfer to <file> (pcap, USB link type).", "file");
    QCommandLineOption verbose("verbose",
                               "Print the USB layer's diagnostic trace on standard error.");
    QCommandLineOption device("device",
                              "The board to drive when several are connected: its serial "
                              "number, USB port path (1-2.3) or BUS:ADDR.",
                              "id");
    QCommandLineOption resetSettings(
        "reset-settings", "Start from the default settings: forget the dump files' folder, the "
                          "Write Log window's place and the board chosen last.");
    parser.addOptions({simulate, capture, device, verbose, resetSettings});

    // Help and version need no window: they are answered before any display is opened.
    // (Mistakes are reported once the application exists and has taken Qt's own options,
    // such as -platform, off the command line.)
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    parser.parse(arguments);
    if (parser.isSet(help) || parser.optionNames().contains("help-all")) {
        QCoreApplication core(argc, argv); // names the program in the usage line
        std::fputs(qUtf8Printable(parser.helpText()), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("korva726eval %s\n", KORVA_VERSION);
        return 0;
    }
    if (!displayNamed(argc, argv)) {
        std::fprintf(stderr,
                     "korva726eval: no display to open the window on (neither DISPLAY nor "
                     "WAYLAND_DISPLAY is set); %s\n",
                     kWaysOut);
        return 2;
    }

    previousHandler = qInstallMessageHandler(startUpMessages);
    Application app(argc, argv);
    qInstallMessageHandler(previousHandler);
    parser.process(app);
    quitOnEndSignals();

    if (parser.isSet(verbose)) {
        // The USB trace and the whole list of problems found in the mode table.
        QLoggingCategory::setFilterRules("korva.usb.trace.debug=true\nkorva.modetable.debug=true");
    }
    korva::SetTraceHandler([](std::string_view text) {
        qCDebug(lcTrace).noquote()
            << QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    });

    if (parser.isSet(simulate) && parser.isSet(device)) {
        std::fprintf(stderr,
                     "korva726eval: --device chooses a USB board; it cannot go with --simulate\n");
        return 1;
    }
    // The board: the built-in simulated one, or a USB board through libusb matched by the
    // identifiers of Config.ini; a capture, when asked for, records either.
    korva::BoardSelection selection;
    selection.simulate = parser.isSet(simulate);
    selection.device = parser.value(device).toStdString();
    selection.capture = parser.value(capture).toStdString();
    const korva::UsbMatchSetting usb = korva::ReadUsbMatch(
        QDir(QCoreApplication::applicationDirPath()).filePath("Config.ini").toStdString(),
        korva::MatchEntry{});
    selection.match = usb.match;
    korva::BoardConnection connection(selection);

    ProgramPrompts prompts;
    // With several boards the user picks one, the board picked last time first in the list
    // (kept once this copy is known to be the one running for its board).
    QString lastBoard = parser.isSet(resetSettings) ? QString() : korva::Settings().lastBoard();
    const korva::WindowBoard chosen = korva::ChooseWindowBoard(connection, prompts, lastBoard);
    if (!chosen.start || endRequested) return endRequested ? 0 : chosen.exitStatus;

    // The identifiers of Config.ini that could not be used are shown as the window loads.
    korva::Form1Options options;
    options.usbProblems = usb.problems;
    korva::Form1 form(connection, prompts, options);
    // Besides its own timer, the capture is written out whenever the program goes idle, so
    // the file holds what the user just did.
    if (!selection.capture.empty())
        QObject::connect(QAbstractEventDispatcher::instance(),
                         &QAbstractEventDispatcher::aboutToBlock, &form,
                         [&connection] { connection.flush(); });
    // Notices of the USB layers (a board that may not be opened for lack of permission, a
    // capture file that could not be written) may come from their own threads: they show on
    // the window's.
    QPointer<korva::Form1> window(&form);
    connection.onNotice = [window](korva::BoardConnection::Notice, const std::string& text) {
        QMetaObject::invokeMethod(
            qApp,
            [window, text] {
                QMessageBox::warning(window, korva::kProgramTitle, QString::fromStdString(text));
            },
            Qt::QueuedConnection);
    };
    // A second copy for the same board ends here after its warning; so does a start-up that
    // an end signal stopped, before anything shows or the capture file is touched. The
    // capture starts only after that check, so that a second copy never touches the first
    // one's file.
    if (!form.Form_Load() || endRequested) return 0;
    // Only once this copy is the one running: a second copy leaves the first's settings
    // alone. The window takes its settings in as it first shows.
    if (parser.isSet(resetSettings)) korva::Settings::reset();
    korva::Settings().setLastBoard(lastBoard);
    try {
        connection.startCapture();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korva726eval: %s\n", e.what());
        return 2;
    }
    form.show();
    eventLoopRunning = true;
    const int rc = QApplication::exec();
    connection.onNotice = nullptr;
    return rc;
}
