#include "app/form1.h"
#include "app/prompts.h"
#include "device/sim_board.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLoggingCategory>
#include <cstdio>
#include <memory>

Q_LOGGING_CATEGORY(lcTrace, "korva.usb.trace", QtWarningMsg)

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("korva726eval");
    QApplication::setApplicationVersion(KORVA_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription("Control program for the KORVA726EVAL video AFE evaluation board.");
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption simulate("simulate", "Run against the built-in simulated board.");
    QCommandLineOption capture("capture", "Write every USB transfer to <file> (pcap, USB link type).",
                               "file");
    QCommandLineOption verbose("verbose", "Print the USB layer's diagnostic trace on standard error.");
    parser.addOptions({simulate, capture, verbose});
    parser.process(app);

    if (parser.isSet(verbose)) {
        QLoggingCategory::setFilterRules("korva.usb.trace.debug=true");
    }
    korva::SetTraceHandler([](std::string_view text) {
        qCDebug(lcTrace).noquote() << QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    });

    std::unique_ptr<korva::UsbLayer> layer = std::make_unique<korva::SimBoard>();

    korva::QtPrompts prompts;
    korva::Form1 form(*layer, prompts);
    if (!form.Form_Load()) return 0;
    form.show();
    return QApplication::exec();
}
