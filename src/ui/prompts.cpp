#include "prompts.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>

namespace korva {
namespace {

QMessageBox::Icon toQt(Prompts::Icon icon) {
    switch (icon) {
    case Prompts::Icon::Information:
        return QMessageBox::Information;
    case Prompts::Icon::Warning:
        return QMessageBox::Warning;
    case Prompts::Icon::Critical:
        return QMessageBox::Critical;
    case Prompts::Icon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

QString SaveFileNameWithSuffix(Prompts& prompts, QWidget* parent,
                               const Prompts::FileRequest& request) {
    QString name = prompts.saveFileName(parent, request);
    if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty()) name += '.' + request.defaultSuffix;
    return name;
}

bool ConfirmReplace(Prompts& prompts, QWidget* parent, const QString& name) {
    return !QFileInfo::exists(name) ||
           prompts.confirm(parent, QStringLiteral("File Exists"),
                           QStringLiteral("File exists.  Press OK to overwrite, Cancel to abort."));
}

QStringList QtNameFilters(const QString& filter) {
    if (!filter.contains('|')) return filter.split(";;", Qt::SkipEmptyParts);
    const QStringList parts = filter.split('|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts[i].trimmed();
        QStringList patterns;
        for (QString p : parts[i + 1].split(';', Qt::SkipEmptyParts)) {
            p = p.trimmed();
            if (p == "*.*") p = "*";
            patterns << p;
            if (p != p.toUpper()) patterns << p.toUpper();
        }
        if (!description.isEmpty() && !patterns.isEmpty())
            filters << description + " (" + patterns.join(' ') + ")";
    }
    return filters;
}

namespace {

QString runFileDialog(QWidget* parent, const Prompts::FileRequest& r,
                      QFileDialog::AcceptMode mode) {
    QFileDialog dialog(parent, r.caption);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptSave ? QFileDialog::AnyFile
                                                       : QFileDialog::ExistingFile);
    dialog.setNameFilters(QtNameFilters(r.filter));
    if (!r.selectedFilter.isEmpty()) dialog.selectNameFilter(r.selectedFilter);
    dialog.setDefaultSuffix(r.defaultSuffix);
    // The program asks its own overwrite question.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (!r.fileName.isEmpty()) dialog.selectFile(r.fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().constFirst();
}

} // namespace

void QtPrompts::message(QWidget* parent, Icon icon, const QString& title, const QString& text) {
    QMessageBox box(toQt(icon), title, text, QMessageBox::Ok, parent);
    box.exec();
}

bool QtPrompts::confirm(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok | QMessageBox::Cancel,
                    parent);
    return box.exec() == QMessageBox::Ok;
}

QString QtPrompts::saveFileName(QWidget* parent, const FileRequest& request) {
    return runFileDialog(parent, request, QFileDialog::AcceptSave);
}

QString QtPrompts::openFileName(QWidget* parent, const FileRequest& request) {
    return runFileDialog(parent, request, QFileDialog::AcceptOpen);
}

} // namespace korva

namespace korva {

int QtPrompts::choose(QWidget* parent, const QString& title, const QString& text,
                      const QStringList& entries, int preselected) {
    bool ok = false;
    const QString picked =
        QInputDialog::getItem(parent, title, text, entries, preselected, false, &ok);
    return ok ? static_cast<int>(entries.indexOf(picked)) : -1;
}

} // namespace korva
