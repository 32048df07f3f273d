#include "app/form1.h"
#include "device/capture_layer.h"
#include "device/libusb_layer.h"
#include "device/sim_board.h"
#include "ui/prompts.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <cstdio>
#include <memory>
#include <stdexcept>

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

} // namespace

int main(int argc, char* argv[]) {
    QApplication::setApplicationName("korva726eval");
    QApplication::setApplicationVersion(KORVA_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Control program for the KORVA726EVAL video AFE evaluation board.");
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption simulate("simulate", "Run against the built-in simulated board.");
    QCommandLineOption capture("capture",
                               "Write every USB transfer to <file> (pcap, USB link type).", "file");
    QCommandLineOption verbose("verbose",
                               "Print the USB layer's diagnostic trace on standard error.");
    parser.addOptions({simulate, capture, verbose});
    // --help, --version and a command line in error print and end before the window system
    // is reached, so that they work without a display (over ssh, in scripts).
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (!parser.parse(arguments) || parser.isSet("help") || parser.isSet("version")) {
        QCoreApplication textOnly(argc, argv);
        parser.process(textOnly);
    }
    Application app(argc, argv);
    parser.process(app);

    if (parser.isSet(verbose)) {
        QLoggingCategory::setFilterRules("korva.usb.trace.debug=true");
    }
    korva::SetTraceHandler([](std::string_view text) {
        qCDebug(lcTrace).noquote()
            << QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    });

    // The board: the built-in simulated one, or the real one through libusb; a capture,
    // when asked for, wraps either.
    std::unique_ptr<korva::UsbLayer> board;
    if (parser.isSet(simulate))
        board = std::make_unique<korva::SimBoard>();
    else
        board = std::make_unique<korva::LibusbLayer>();
    korva::UsbLayer* layer = board.get();
    std::unique_ptr<korva::CaptureLayer> captureLayer;
    if (parser.isSet(capture)) {
        try {
            captureLayer =
                std::make_unique<korva::CaptureLayer>(*board, parser.value(capture).toStdString());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "korva726eval: %s\n", e.what());
            return 2;
        }
        layer = captureLayer.get();
    }

    korva::QtPrompts prompts;
    korva::Form1 form(*layer, prompts);
    // Notices of the USB layer (such as a board that may not be opened for lack of
    // permission) come from its own thread: show them on the window's.
    QPointer<korva::Form1> window(&form);
    layer->onNotice = [window](const std::string& text) {
        QMetaObject::invokeMethod(
            qApp,
            [window, text] {
                QMessageBox::warning(window, korva::kProgramTitle, QString::fromStdString(text));
            },
            Qt::QueuedConnection);
    };
    if (!form.Form_Load()) return 0;
    form.show();
    const int rc = QApplication::exec();
    layer->onNotice = nullptr;
    return rc;
}
