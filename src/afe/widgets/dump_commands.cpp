#include "dump_commands.h"

#include "afe/afe_ops.h"
#include "afe/dump_file.h"
#include "ui/progress_pacer.h"
#include "ui/register_views.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
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
                           QProgressBar* progress, RegisterView& registers)
    : board_(board), prompts_(prompts), parent_(dialogParent), progress_(progress),
      registers_(registers) {}

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

void DumpCommands::Save(bool allNamed) {
    QString name = prompts_.saveFileName(parent_, request(kSaveTitle));
    if (name.isEmpty()) return;
    // Some platform dialogs ignore the default suffix; a name without one gets it here.
    if (QFileInfo(name).suffix().isEmpty()) name += '.' + defaultSuffix();
    lastName_ = name;

    if (QFileInfo::exists(name) &&
        !prompts_.confirm(parent_, QStringLiteral("File Exists"),
                          QStringLiteral("File exists.  Press OK to overwrite, Cancel to abort.")))
        return;

    ProgressPacer pacer(progress_);
    RegisterTexts texts;
    for (int a = 0; a < kAfeRegisterCount; ++a) {
        texts[static_cast<std::size_t>(a)] = registers_.boxText(a);
        pacer.setValue(stepValue(a));
    }
    // The file is replaced only once the whole new content is safely written.
    const std::string error =
        WriteFileAtomically(QFile::encodeName(name).toStdString(), FormatDump(texts, allNamed));
    if (!error.empty()) {
        fail(kSaveTitle, QStringLiteral("The registers could not be saved to \"%1\": %2. "
                                        "The file was not changed.")
                             .arg(shown(name), QString::fromStdString(error)));
        return;
    }
    pacer.setValue(0);
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

    const DumpParseResult parsed = ReadDumpFile(QFile::encodeName(name).toStdString());
    if (!parsed.values) {
        refuse(QString::fromStdString(parsed.error));
        return;
    }
    {
        ProgressPacer pacer(progress_);
        if (!WriteDumpValues(board_, *parsed.values,
                             [&pacer](int a) { pacer.setValue(stepValue(a)); }))
            return; // the error has been reported; the program ends
        pacer.setValue(0);
    }
    if (!registers_.readAll()) return; // reported: the program is ending
    if (const int skipped = parsed.skipped(); skipped > 0)
        prompts_.message(
            parent_, Prompts::Icon::Information, kLoadTitle,
            QStringLiteral("Loaded \"%1\". %2.")
                .arg(shown(name), QString::fromStdString(SkippedRegistersText(skipped))));
}

} // namespace korva
