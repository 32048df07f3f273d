// The board the command-line tool talks to, on the board connection every front end
// uses: the simulated board or the one USB board chosen by --device, behind the optional
// pcap capture. The board is opened on first use, so that a command refused for its
// arguments never reaches USB; a stop signal stops it before its next exchange.
#pragma once

#include "cli_error_sink.h"
#include "stop.h"

#include "device/board_connection.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace korva::cli {

// Exit statuses of the tool.
enum Exit { kSuccess = 0, kUsage = 1, kFailure = 2, kMismatch = 3 };

// A command that did not succeed: its exit status and the one line that says why.
struct CommandError : std::runtime_error {
    int status;
    CommandError(int status, const std::string& message)
        : std::runtime_error(message), status(status) {}
};

struct SessionOptions {
    bool simulate = false;
    std::string capture; // pcap file; empty: no capture
    std::string device;  // serial number, port path or BUS:ADDR; empty: the only board
    bool verbose = false;
};

class Session {
  public:
    explicit Session(const SessionOptions& options) : options_(options) {}
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Reads Config.ini beside the executable and creates the layers and the capture file.
    // A capture that fails later is said once on standard error.
    void start();
    // Writes out what the capture still holds. False when the capture asked for was not
    // made whole (the failure has been said).
    bool finish();
    // The board, opened on first use. Throws CommandError (2) when there is none to open.
    Board& board();
    // Throws CommandError (2) saying what failed when the link has reported a failure.
    void check(const std::string& what) const;

    bool simulated() const { return options_.simulate; }
    // The identifiers a USB board is matched by (warning once about bad ones in Config.ini).
    const MatchEntry& match();
    // The boards present and the one a command without --device would use (none when
    // there are several or none). Throws CommandError (2) when USB cannot be used.
    BoardChoice boards();
    // Config.ini [Flags] Test: dump files name every register.
    bool hiddenModesShown() const { return hiddenModes_; }

  private:
    void readConfig();
    BoardSelection selection() const;

    const SessionOptions& options_;
    MatchEntry match_;
    std::vector<std::string> matchProblems_; // not yet said
    bool hiddenModes_ = false;
    std::unique_ptr<BoardConnection> connection_;
    CliErrorSink sink_;
    bool opened_ = false;
};

} // namespace korva::cli
