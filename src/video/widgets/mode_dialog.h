// The input and video mode dialog: the user picks the connector that carries the signal
// and the video mode from the mode table; OK programs the board for that pair (DE window,
// PLL horizontal total, input configuration, multiplexer, sync separator and, when asked
// for, the colour space converter) and reads the AFE registers back.
//
// The dialog is created once and only hidden between showings, so the chosen mode,
// connector and check box carry over. Closing it by its window frame hides it too.
#pragma once

#include "mode_dialog_host.h"
#include "video/mode_setup.h"

#include <QDialog>
#include <string>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace korva {

class ModeDialog : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kConnectors = kConnectorCount;

    explicit ModeDialog(ModeDialogHost& host, QWidget* parent = nullptr);

    // The mode lines of the table, verbatim; Combo1 lists their names (the text before
    // the first comma) and entry 1 is selected (entry 0 when there is only one).
    void setModeLines(std::vector<std::string> lines);
    const std::vector<std::string>& ModeLines() const { return modeLines_; }

    // Programs the board for the selected mode and connector, hides the dialog and reads
    // the AFE registers back (the sequence is listed at its definition). Refuses (a message
    // box, nothing sent, the dialog stays open) when no listed mode is selected or the mode
    // line cannot be programmed.
    void OKButton_Click();
    // Hides the dialog and selects entry 1 again; nothing is sent.
    void CancelButton_Click();

  private:
    // Index of the selected Combo1 entry, -1 when the field holds typed text instead.
    int selectedMode() const;
    void refuse(const QString& text);

    ModeDialogHost& host_;
    std::vector<std::string> modeLines_;

    QLabel* label1_ = nullptr;
    QComboBox* combo1_ = nullptr;
    QGroupBox* frame1_ = nullptr;
    QRadioButton* inputConnectorSelect_[kConnectors] = {};
    QButtonGroup* connectorGroup_ = nullptr;
    QCheckBox* autoEnableCSC_ = nullptr;
    QLabel* label2_ = nullptr;
    QLabel* label3_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QPushButton* okButton_ = nullptr;
};

} // namespace korva
