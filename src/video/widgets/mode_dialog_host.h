// What the input and video mode dialog needs from the main window: the board, the message
// boxes, the four DE boxes, the register panel's boxes, the colour space converter switch
// and the register read-back.
#pragma once

#include <QString>

class QLineEdit;

namespace korva {

class Board;
class Prompts;

class ModeDialogHost {
  public:
    virtual ~ModeDialogHost() = default;
    virtual Board& board() = 0;
    virtual Prompts& prompts() = 0;
    // The DE boxes: 0 Hstart, 1 Hstop, 2 Vstart, 3 Vstop. Setting a box's text runs its
    // change behaviour (grid cells and FPGA registers follow it).
    virtual QLineEdit* deBox(int which) = 0;
    // Shows a text in a register panel box without writing anything to the board.
    virtual void setRegisterBoxText(int index, const QString& text) = 0;
    virtual void CSC_Enable() = 0;
    virtual void CSC_Disable() = 0;
    virtual void ReadAllRegisterButton_Click() = 0;
};

} // namespace korva
