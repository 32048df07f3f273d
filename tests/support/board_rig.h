// The simulated board wired to a command link and the board commands, with a recording
// error sink: the base of every test that talks to the board without a main window.
#pragma once

#include "device/board.h"
#include "device/sim_board.h"
#include "support/recording_sink.h"

namespace korva::test {

struct BoardRig {
    SimBoard sim;
    DeviceContext ctx;
    RecordingSink sink;
    CommandLink link{sim, ctx, sink};
    Board board{link};
    DriverHandle driver = 0;

    explicit BoardRig(bool plugged = true) : sim(plugged) {
        sim.setLogging(true);
        sim.init(&driver, MatchEntry{}, MakeEventTable(sim, ctx));
    }
    // The 64-byte packets written on the command pipe, in order.
    Packets sent() const { return sim.commandPackets(); }
};

} // namespace korva::test
