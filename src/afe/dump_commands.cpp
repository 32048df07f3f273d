#include "dump_commands.h"

#include "dump_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QSaveFile>
#include <cmath>

namespace korva {
namespace {

const QString kSaveTitle = QStringLiteral("Save Registers");
const QString kLoadTitle = QStringLiteral("Load Registers");

// Progress after register i: i / 65 of the way.
int stepValue(int address) {
    return static_cast<int>(std::lround(address * 100.0 / kAfeLastAddress));
}

QString shown(const QString& path) {
    return QDir::toNativeSeparators(path);
}

} // namespace

DumpCommands::DumpCommands(Board& board, Prompts& prompts, QWidget* dialogParent,
                           QProgressBar* progress, std::function<QString(int)> boxText,
                           std::function<bool()> hiddenModesShown,
                           std::function<void()> readAllRegisters)
    : board_(board), prompts_(prompts), parent_(dialogParent), progress_(progress),
      boxText_(std::move(boxText)), hiddenModesShown_(std::move(hiddenModesShown)),
      readAllRegisters_(std::move(readAllRegisters)) {}

QString DumpCommands::fileFilter() {
    return QStringLiteral("Text File (*.TXT) |*.txt | All Files (*.*)|*.*|");
}

Prompts::FileRequest DumpCommands::request(const QString& caption) const {
    Prompts::FileRequest r;
    r.caption = caption;
    r.fileName = lastName_;
    r.filter = fileFilter();
    r.defaultSuffix = defaultSuffix();
    return r;
}

void DumpCommands::setProgress(int value) {
    if (progress_) progress_->setValue(value);
}

void DumpCommands::fail(const QString& title, const QString& text) {
    setProgress(0);
    prompts_.message(parent_, Prompts::Icon::Warning, title, text);
}

void DumpCommands::Save() {
    QString name = prompts_.saveFileName(parent_, request(kSaveTitle));
    if (name.isEmpty()) return;
    // Some platform dialogs ignore the default suffix; a name without one gets it here.
    if (QFileInfo(name).suffix().isEmpty()) name += '.' + defaultSuffix();
    lastName_ = name;

    if (QFileInfo::exists(name) &&
        !prompts_.confirm(parent_, QStringLiteral("File Exists"),
                          QStringLiteral("File exists.  Press OK to overwrite, Cancel to abort.")))
        return;

    // The new contents go to a temporary file beside the target, which replaces the old
    // file only once everything is written: a failure never leaves half a dump behind.
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly)) {
        fail(kSaveTitle, QStringLiteral("The registers could not be saved to \"%1\": %2")
                             .arg(shown(name), file.errorString()));
        return;
    }
    const bool all = hiddenModesShown_ && hiddenModesShown_();
    const std::string header = DumpHeader();
    bool ok = file.write(header.data(), static_cast<qint64>(header.size())) ==
              static_cast<qint64>(header.size());
    for (int a = 0; ok && a < kAfeRegisterCount; ++a) {
        const QString text = boxText_ ? boxText_(a) : QString();
        const std::string line = DumpLine(a, text.toLatin1().toStdString(), all) + "\r\n";
        ok = file.write(line.data(), static_cast<qint64>(line.size())) ==
             static_cast<qint64>(line.size());
        if (ok) setProgress(stepValue(a));
    }
    if (!ok) {
        const QString why = file.errorString();
        file.cancelWriting();
        fail(kSaveTitle, QStringLiteral("The registers could not be saved to \"%1\": %2. "
                                        "The file was not changed.")
                             .arg(shown(name), why));
        return;
    }
    setProgress(0);
    if (!file.commit()) {
        fail(kSaveTitle, QStringLiteral("The registers could not be saved to \"%1\": %2. "
                                        "The file was not changed.")
                             .arg(shown(name), file.errorString()));
    }
}

void DumpCommands::Load() {
    const QString name = prompts_.openFileName(parent_, request(kLoadTitle));
    if (name.isEmpty()) return;
    lastName_ = name;

    auto refuse = [&](const QString& why) {
        fail(kLoadTitle, QStringLiteral("The registers could not be loaded from \"%1\": %2. "
                                        "No register was written.")
                             .arg(shown(name), why));
    };

    QFile file(name);
    if (!QFileInfo(name).isFile()) {
        refuse(QFileInfo::exists(name) ? QStringLiteral("it is not a file")
                                       : QStringLiteral("the file does not exist"));
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        refuse(file.errorString());
        return;
    }
    if (file.size() > static_cast<qint64>(kDumpMaxBytes)) {
        refuse(
            QStringLiteral("it is %1 bytes long, far more than a register dump").arg(file.size()));
        return;
    }
    const QByteArray content = file.read(static_cast<qint64>(kDumpMaxBytes) + 1);
    const bool readFailed = file.error() != QFileDevice::NoError;
    const QString readError = file.errorString();
    file.close();
    if (readFailed) {
        refuse(readError);
        return;
    }

    const DumpParseResult parsed =
        ParseDump(std::string_view(content.constData(), static_cast<std::size_t>(content.size())));
    if (!parsed.values) {
        refuse(QString::fromStdString(parsed.error));
        return;
    }

    for (int a = 0; a < kAfeRegisterCount; ++a) {
        board_.WriteByte_AFE(a, (*parsed.values)[static_cast<std::size_t>(a)]);
        if (board_.link().halted()) return; // the error has been reported; the program ends
        setProgress(stepValue(a));
    }
    setProgress(0);
    if (readAllRegisters_) readAllRegisters_();
}

} // namespace korva
