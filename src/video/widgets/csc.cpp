#include "csc.h"

#include "device/board.h"
#include "video/mode_setup.h"

#include <QPushButton>

namespace korva {

const char* const CscControl::kEnabledCaption = "YPbPr to RGB CSC Is Currently Enabled";
const char* const CscControl::kDisabledCaption = "YPbPr to RGB CSC Is Currently Disabled";

namespace {
const char* const kRedFace = "QPushButton { background-color: rgb(255, 0, 0); color: black;"
                             " border: 1px solid rgb(120, 0, 0); border-radius: 2px;"
                             " padding: 2px; }"
                             " QPushButton:pressed { background-color: rgb(200, 0, 0); }"
                             " QPushButton:focus { border: 2px solid rgb(120, 0, 0); }";
} // namespace

CscControl::CscControl(QPushButton* button, Board& board, QObject* parent)
    : QObject(parent), button_(button), board_(board) {
    setObjectName("CscControl");
    if (!button_) return;
    showState(false);
    connect(button_, &QPushButton::clicked, this, [this] { CSC_Click(); });
}

bool CscControl::enabled() const {
    return button_ && button_->text() == kEnabledCaption;
}

void CscControl::CSC_Click() {
    if (enabled())
        CSC_Disable();
    else
        CSC_Enable();
}

void CscControl::CSC_Enable() {
    if (write(true)) showState(true);
}

void CscControl::CSC_Disable() {
    if (write(false)) showState(false);
}

bool CscControl::write(bool on) {
    // A failed write has been reported and the program is ending; the button must not
    // claim a state the converter never reached.
    const ActionScope action(
        board_.link(),
        {on ? "YPbPr to RGB CSC enabled" : "YPbPr to RGB CSC disabled", ActionKind::Fpga, {}});
    return SetConverter(board_, on);
}

void CscControl::showState(bool on) {
    if (!button_) return;
    button_->setText(on ? kEnabledCaption : kDisabledCaption);
    if (on) {
        // A style sheet that draws the whole face: a palette colour alone is only a tint in
        // styles that paint a gradient bevel (Fusion), and native styles ignore it.
        button_->setStyleSheet(kRedFace);
    } else {
        // Back to the style's own button face.
        button_->setStyleSheet(QString());
    }
}

} // namespace korva
