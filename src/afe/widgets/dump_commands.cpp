#include "dump_commands.h"

#include "afe/afe_ops.h"
#include "afe/dump_file.h"
#include "device/textnum.h"
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
const QString kCompareTitle = QStringLiteral("Compare with Registers File");

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

void DumpCommands::setFolder(const QString& folder) {
    if (!folder.isEmpty()) lastName_ = QDir(folder).filePath(QFileInfo(lastName_).fileName());
}

void DumpCommands::chosen(const QString& name) {
    lastName_ = name;
    if (folderChosen) folderChosen(QFileInfo(name).absolutePath());
}

void DumpCommands::setProgress(int value) {
    if (progress_) progress_->setValue(value);
}

void DumpCommands::fail(const QString& title, const QString& text) {
    setProgress(0);
    prompts_.message(parent_, Prompts::Icon::Warning, title, text);
}

void DumpCommands::Save(bool allNamed) {
    const QString name = SaveFileNameWithSuffix(prompts_, parent_, request(kSaveTitle));
    if (name.isEmpty()) return;
    chosen(name);
    if (!ConfirmReplace(prompts_, parent_, name)) return;

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
    chosen(name);

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
    // The load and the read that shows its outcome are one action: the read gives each
    // write its read-back in the write log.
    const ActionScope action(
        board_.link(),
        {"Load " + QFileInfo(name).fileName().toStdString(), ActionKind::Registers, {}});
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

void DumpCommands::Compare() {
    const QString name = prompts_.openFileName(parent_, request(kCompareTitle));
    if (name.isEmpty()) return;
    chosen(name);
    const DumpParseResult parsed = ReadDumpFile(QFile::encodeName(name).toStdString());
    if (!parsed.values) {
        fail(kCompareTitle, QStringLiteral("The registers could not be compared with \"%1\": %2. "
                                           "Nothing was read.")
                                .arg(shown(name), QString::fromStdString(parsed.error)));
        return;
    }
    if (!registers_.readAll()) return; // reported: the program is ending
    RegisterValues board{};
    for (int a = 0; a < kAfeRegisterCount; ++a)
        board[static_cast<std::size_t>(a)] = registers_.boardValue(a).value_or(0);
    const std::vector<RegisterDifference> differ = DumpDifferences(board, *parsed.values);
    const QString file = QFileInfo(name).fileName();
    for (const RegisterDifference& d : differ)
        registers_.markDiffering(d.address, QStringLiteral("%1 holds %2; the board %3")
                                                .arg(file, QString::fromStdString(HexByte(d.file)),
                                                     QString::fromStdString(HexByte(d.board)))
                                                .toStdString());
    const int skipped = parsed.skipped();
    const int compared = kAfeRegisterCount - skipped;
    QString text;
    if (!differ.empty())
        text = differ.size() == 1
                   ? QStringLiteral("1 register differs from \"%1\".").arg(shown(name))
                   : QStringLiteral("%1 registers differ from \"%2\".")
                         .arg(differ.size())
                         .arg(shown(name));
    else if (skipped == 0)
        text = QStringLiteral("All %1 registers match \"%2\".").arg(compared).arg(shown(name));
    else
        text = QStringLiteral("All %1 registers compared match \"%2\".")
                   .arg(compared)
                   .arg(shown(name));
    if (skipped > 0) text += " " + QString::fromStdString(NotComparedText(skipped)) + ".";
    prompts_.message(parent_, Prompts::Icon::Information, kCompareTitle, text);
}

} // namespace korva
