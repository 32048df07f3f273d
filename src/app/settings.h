// What the window keeps between runs, where the program leaves the choice to the user's
// last run: the folder of the dump file dialogs, the Write Log window's place and whether it
// was open, and the board chosen last when several are present. Nothing that changes what
// the start sends or selects. Kept with QSettings in the user's configuration folder
// (~/.config/korva726eval/korva726eval.ini), never in Config.ini.
#pragma once

#include <QByteArray>
#include <QSettings>
#include <QString>

namespace korva {

class Settings {
  public:
    Settings();

    QString dumpFolder() const;
    void setDumpFolder(const QString& folder);
    QByteArray writeLogGeometry() const; // QWidget::saveGeometry()
    void setWriteLogGeometry(const QByteArray& geometry);
    bool writeLogOpen() const;
    void setWriteLogOpen(bool open);
    // How the board chooser names the board chosen last (its serial number or port path).
    QString lastBoard() const;
    void setLastBoard(const QString& board);

    // Forgets everything kept (--reset-settings): the next run starts from the defaults.
    static void reset();
    // The file they are kept in.
    static QString fileName();

  private:
    void set(const char* key, const QVariant& value, const QVariant& byDefault);
    QSettings store_;
};

} // namespace korva
