// The board the command-line tool talks to: the simulated board or the one USB board
// chosen by --device, behind the optional pcap capture, with the link and the board
// commands on top. The board is opened on first use, so that a command refused for its
// arguments never reaches USB.
#pragma once

#include "cli_error_sink.h"
#include "stop.h"

#include "device/board.h"
#include "device/capture_layer.h"
#include "device/libusb_boards.h"
#include "device/libusb_layer.h"

#include <atomic>
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
    // Config.ini [Flags] Test: dump files name every register.
    bool hiddenModesShown() const { return hiddenModes_; }

  private:
    void readConfig();
    void chooseUsbBoard();

    const SessionOptions& options_;
    MatchEntry match_;
    std::vector<std::string> matchProblems_; // not yet said
    bool hiddenModes_ = false;
    std::unique_ptr<UsbLayer> base_;
    LibusbLayer* usb_ = nullptr;             // base_ when it is the real board's layer
    std::atomic<bool> captureFailed_{false}; // before capture_: its last notice may set it
    std::unique_ptr<CaptureLayer> capture_;
    std::unique_ptr<StoppableLayer> stoppable_;
    UsbLayer* layer_ = nullptr; // the top of the stack
    DeviceContext context_;
    CliErrorSink sink_;
    std::unique_ptr<CommandLink> link_;
    std::unique_ptr<Board> board_;
    DriverHandle driver_ = 0;
    std::string notice_; // what the layer said when it could not open the board
};

} // namespace korva::cli
