// Which board the window drives, settled before its first exchange: the simulated board,
// the board --device names, the only board present, or the one the user picks from a list
// when several are present. With no board present (or none this user may open) the window
// starts without one and takes the first board that arrives.
#pragma once

#include <QString>

namespace korva {

class BoardConnection;
class Prompts;

struct WindowBoard {
    bool start = true;  // false: the program ends, with exitStatus
    int exitStatus = 0; // 0: the user cancelled the list; 2: --device names no board
};

// `lastChosen` holds the key of the board chosen last time a list was shown (it is
// selected first) and gets the key of the board the user picks now.
WindowBoard ChooseWindowBoard(BoardConnection& connection, Prompts& prompts, QString& lastChosen);

} // namespace korva
