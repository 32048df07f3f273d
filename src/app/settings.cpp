#include "settings.h"

namespace korva {
namespace {

constexpr char kOrganisation[] = "korva726eval";
constexpr char kApplication[] = "korva726eval";
constexpr char kDumpFolder[] = "dumpFiles/folder";
constexpr char kLogGeometry[] = "writeLog/geometry";
constexpr char kLogOpen[] = "writeLog/open";
constexpr char kLastBoard[] = "boards/last";

} // namespace

Settings::Settings()
    : store_(QSettings::IniFormat, QSettings::UserScope, kOrganisation, kApplication) {}

QString Settings::dumpFolder() const {
    return store_.value(kDumpFolder).toString();
}
void Settings::setDumpFolder(const QString& folder) {
    set(kDumpFolder, folder, QString());
}
QByteArray Settings::writeLogGeometry() const {
    return store_.value(kLogGeometry).toByteArray();
}
void Settings::setWriteLogGeometry(const QByteArray& geometry) {
    set(kLogGeometry, geometry, QByteArray());
}
bool Settings::writeLogOpen() const {
    return store_.value(kLogOpen, false).toBool();
}
void Settings::setWriteLogOpen(bool open) {
    set(kLogOpen, open, false);
}
QString Settings::lastBoard() const {
    return store_.value(kLastBoard).toString();
}
void Settings::setLastBoard(const QString& board) {
    set(kLastBoard, board, QString());
}

void Settings::set(const char* key, const QVariant& value, const QVariant& byDefault) {
    // The file is written only for a change (it gives back texts: compare as such), so that
    // a run that changes nothing leaves no file.
    if (store_.value(key, byDefault).toByteArray() == value.toByteArray()) return;
    store_.setValue(key, value);
    // Written at once: an error box ends the program without running destructors.
    store_.sync();
}

void Settings::reset() {
    QSettings store(QSettings::IniFormat, QSettings::UserScope, kOrganisation, kApplication);
    store.clear();
    store.sync();
}

QString Settings::fileName() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, kOrganisation, kApplication)
        .fileName();
}

} // namespace korva
