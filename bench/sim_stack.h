// The stack `korva726eval --simulate [--capture FILE]` builds: board operations, command
// link, optionally a capture file, and the simulated board as the program leaves it.
#pragma once

#include "device/board.h"
#include "device/capture_layer.h"
#include "device/sim_board.h"

#include <memory>
#include <string>

namespace korva::bench {

struct NullSink : ErrorSink {
    void errMsg(std::int16_t) override {}
};

struct Stack {
    SimBoard sim;
    std::unique_ptr<CaptureLayer> capture;
    DeviceContext ctx;
    NullSink sink;
    std::unique_ptr<CommandLink> link;
    std::unique_ptr<Board> board;

    explicit Stack(const std::string& capturePath = {}) {
        UsbLayer* layer = &sim;
        if (!capturePath.empty()) {
            capture = std::make_unique<CaptureLayer>(sim, capturePath);
            layer = capture.get();
        }
        link = std::make_unique<CommandLink>(*layer, ctx, sink);
        board = std::make_unique<Board>(*link);
        DriverHandle driver = 0;
        layer->init(&driver, MatchEntry{}, MakeEventTable(*layer, ctx));
    }
};

} // namespace korva::bench
