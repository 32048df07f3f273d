// The simulated board on the board connection, with a recording error sink: the base of
// every test that talks to the board without a main window.
#pragma once

#include "device/board_connection.h"
#include "device/sim_board.h"
#include "support/recording_sink.h"

namespace korva::test {

inline BoardSelection SimulatedBoard() {
    BoardSelection selection;
    selection.simulate = true;
    return selection;
}

struct BoardRig {
    BoardConnection connection{SimulatedBoard()};
    SimBoard& sim = *connection.simulatedBoard();
    DeviceContext& ctx = connection.context();
    RecordingSink sink;
    CommandLink& link = connection.link();
    Board& board = connection.board();

    explicit BoardRig(bool plugged = true) {
        if (!plugged) sim.unplug();
        sim.setLogging(true);
        connection.setErrorSink(sink);
        connection.open();
    }
    // The 64-byte packets written on the command pipe, in order.
    Packets sent() const { return sim.commandPackets(); }
};

} // namespace korva::test
