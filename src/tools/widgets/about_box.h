// The About box: the program's name, version and description, and a button that starts
// the system's system-information program.
#pragma once

#include "ui/prompts.h"

#include <QDialog>
#include <QString>
#include <QStringList>
#include <cstdint>

class QLabel;
class QPushButton;

namespace korva {

// Where the About box looks for a system-information program: a key-value lookup in the
// style of the Windows registry, and the host's programs. Tests replace it.
class SystemInfo {
  public:
    static constexpr std::uint32_t HKEY_LOCAL_MACHINE = 0x80000002u;

    virtual ~SystemInfo() = default;
    // Reads the text value SubKeyRef of key KeyName under KeyRoot into KeyVal; true when
    // it was found. KeyVal is emptied when it was not.
    virtual bool GetKeyValue(std::uint32_t KeyRoot, const QString& KeyName,
                             const QString& SubKeyRef, QString& KeyVal) = 0;
    virtual bool fileExists(const QString& path) = 0;
    // Full path of a program found on PATH, empty when there is none.
    virtual QString findProgram(const QString& name) = 0;
    // Starts a program detached from this one; false when it could not be started.
    virtual bool startProgram(const QString& path) = 0;
};

// The host: no registry keys on this platform; programs found with
// QStandardPaths::findExecutable and started with QProcess::startDetached.
class HostSystemInfo : public SystemInfo {
  public:
    bool GetKeyValue(std::uint32_t KeyRoot, const QString& KeyName, const QString& SubKeyRef,
                     QString& KeyVal) override;
    bool fileExists(const QString& path) override;
    QString findProgram(const QString& name) override;
    bool startProgram(const QString& path) override;
};

class AboutBox : public QDialog {
    Q_OBJECT
  public:
    // The system-information programs tried, in order, when no key names one.
    static QStringList sysInfoPrograms();

    // systemInfo: null uses the host.
    explicit AboutBox(Prompts& prompts, SystemInfo* systemInfo = nullptr,
                      QWidget* parent = nullptr);
    ~AboutBox() override;

    void cmdOK_Click();
    void cmdSysInfo_Click() { StartSysInfo(); }
    void StartSysInfo();

    // The picture of picIcon (145 x 48 pixels), drawn rather than stored.
    static QPixmap iconPicture();

  private:
    Prompts& prompts_;
    SystemInfo* systemInfo_;
    SystemInfo* ownedSystemInfo_ = nullptr;
};

} // namespace korva
