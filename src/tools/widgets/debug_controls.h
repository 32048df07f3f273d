// Bench controls of the tabs "Debug 1" and "Debug 3": port writes, the multiplexer and
// sync-separator selections, a direct AFE register read, a three-register burst write, a
// display check, the bitstream download, the data-pipe probe and the EEPROM wipe.
#pragma once

#include "device/board.h"
#include "ui/prompts.h"

#include <QObject>
#include <QString>

class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QWidget;

namespace korva {

class RegisterView;

class DebugControls : public QObject {
    Q_OBJECT
  public:
    // Builds the controls onto the two pages. `registers` gives the AFE register boxes'
    // texts that WriteBurst sends. downloadFpgaButton is the hidden button of the User
    // Registers frame that a download hides and shows (may be null). workingDir is where
    // the bitstream and the probe file are looked up ("" = the current directory). The
    // pages own the controls; the object itself belongs to `parent` (or to the caller when
    // none is given).
    DebugControls(Board& board, Prompts& prompts, QWidget* debug1Page, QWidget* debug3Page,
                  const RegisterView& registers, QPushButton* downloadFpgaButton,
                  QString workingDir = {}, QObject* parent = nullptr);

    // Handlers, callable directly.
    void WritePORTA_CMD_Click();
    void WritePORTB_CMD_Click();
    void ReadAFE_Click();
    void Command2_Click();
    void Command3_Click();
    void DownloadFPGA_Click(); // also Command4
    void Download_Click();
    void WipeEEPROM_Click(); // also Command1
    void MuxChan_Click(int k);
    void SQ7302Mode_Click(int k);

    QString workingDir() const { return workingDir_; }
    void setWorkingDir(const QString& dir) { workingDir_ = dir; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildDebug1(QWidget* page);
    void buildDebug3(QWidget* page);
    void writePort(QLineEdit* box, const char* port, bool (Board::*write)(int));
    void tell(const QString& text);

    Board& board_;
    Prompts& prompts_;
    QWidget* debug1_;
    QWidget* debug3_;
    const RegisterView& registers_;
    QPushButton* downloadFpga_;
    QString workingDir_;

    QLineEdit* text1_ = nullptr;
    QLineEdit* text2_ = nullptr;
    QLineEdit* text3_ = nullptr;
    QLineEdit* addressAfe_ = nullptr;
    QLineEdit* dataAfe_ = nullptr;
    QLineEdit* portA_ = nullptr;
    QLineEdit* portB_ = nullptr;
    QRadioButton* mux_[4] = {};
    QRadioButton* sync_[4] = {};
};

} // namespace korva
