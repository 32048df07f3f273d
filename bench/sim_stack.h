// The stack `korva726eval --simulate [--capture FILE]` builds, on the board connection:
// board operations, command link, optionally a capture file, and the simulated board as
// the program leaves it.
#pragma once

#include "device/board_connection.h"
#include "device/sim_board.h"

#include <string>

namespace korva::bench {

struct NullSink : ErrorSink {
    void errMsg(std::int16_t) override {}
};

struct Stack {
    BoardConnection connection;
    NullSink sink;
    CommandLink* link = &connection.link();
    Board* board = &connection.board();
    SimBoard& sim = *connection.simulatedBoard();

    explicit Stack(const std::string& capturePath = {}) : connection(selection(capturePath)) {
        connection.setErrorSink(sink);
        connection.startCapture();
        connection.open();
    }
    static BoardSelection selection(const std::string& capturePath) {
        BoardSelection s;
        s.simulate = true;
        s.capture = capturePath;
        return s;
    }
};

} // namespace korva::bench
