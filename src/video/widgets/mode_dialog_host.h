// What the input and video mode dialog needs from the main window: the board, the message
// boxes, the DE generator's window, the register boxes and the converter button.
#pragma once

#include "fpga/de_window.h"

namespace korva {

class Board;
class Prompts;
class RegisterView;

class ModeDialogHost {
  public:
    virtual ~ModeDialogHost() = default;
    virtual Board& board() = 0;
    virtual Prompts& prompts() = 0;
    // The DE generator's four counts. Setting them runs the change handling of each box
    // whose text changes: the FPGA registers whose grid cells change are written, and a
    // change of Vstop re-reads the grid. False when a write failed (reported).
    [[nodiscard]] virtual bool setDeWindow(const DeWindow& window) = 0;
    // The counts as the DE boxes now show them.
    virtual DeWindow deWindow() const = 0;
    virtual RegisterView& registers() = 0;
    // Shows the converter's state on its button, sending nothing.
    virtual void showConverter(bool on) = 0;
};

} // namespace korva
