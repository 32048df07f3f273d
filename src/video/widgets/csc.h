// The colour space converter switch: the main window's CSC button shows whether the FPGA's
// YPbPr-to-RGB converter is on, and a click switches it. The button's caption is the only
// record of the state; the FPGA register is never read back.
#pragma once

#include <QObject>
#include <QPointer>

class QPushButton;

namespace korva {

class Board;

class CscControl : public QObject {
    Q_OBJECT
  public:
    static const char* const kEnabledCaption;
    static const char* const kDisabledCaption;

    // Takes charge of `button`: shows the disabled state and switches on its clicks.
    CscControl(QPushButton* button, Board& board, QObject* parent = nullptr);

    // Writes the converter on (0x21) or off (0x01), then shows that state. After a failed
    // write the button keeps showing the previous state.
    void CSC_Enable();
    void CSC_Disable();
    // Switches to the other state; any caption but the enabled one counts as disabled.
    void CSC_Click();
    bool enabled() const;
    // Shows a state the converter was switched to elsewhere (the mode set-up), sending
    // nothing.
    void showState(bool on);

  private:
    bool write(bool on);

    QPointer<QPushButton> button_;
    Board& board_;
};

} // namespace korva
