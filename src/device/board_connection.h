// The one connection to a board that every front end uses: the window, korva726ctl, the
// Python module, the benchmarks and the test rigs.
//
// Given a selection (the simulated board, or a USB board with an optional ID and the USB
// identifiers to look for) and an optional capture file, it builds the layer stack (the
// simulated board or libusb, with a capture around either), chooses the board, opens and
// closes the connection to it, hands out the command link and the board commands, says
// which board it drives and tells of its attach and detach.
//
// Only the chosen board is opened. Once a board has been attached, the connection stays
// with it: when it leaves and comes back (same serial number, else same port path) it is
// attached again, and another board arriving in the meantime is never taken in its place.
#pragma once

#include "device/board.h"
#include "device/libusb_boards.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korva {

class CaptureLayer;
class LibusbLayer;
class SimBoard;

// Which board a front end asks for.
struct BoardSelection {
    bool simulate = false;
    // A USB board's serial number, port path ("1-2.3") or "BUS:ADDR"; empty: the only one.
    // Unused with the simulated board (the front ends refuse an ID with it).
    std::string device;
    // The USB identifiers to look for (the defaults, or those of Config.ini).
    MatchEntry match;
    // A pcap file for every transfer; empty: none.
    std::string capture;
};

// The board a connection drives.
struct BoardIdentity {
    bool simulated = false;
    std::string serial; // empty when the board has none (or none could be read)
    std::string port;   // the USB port path, "1-2.3"; empty while no board is known

    // No board chosen or attached yet.
    bool none() const { return !simulated && port.empty(); }
    // "simulated board", "board SERIAL (port 1-2.3)", "board at port 1-2.3", "no board".
    std::string describe() const;
    // What identifies the board across a replug: its serial number, else its port path;
    // "simulated" for the simulated board; empty for none.
    std::string key() const;
    // The same board: the same serial number when both have one, else the same port path.
    bool sameBoard(const BoardIdentity& other) const;
    static BoardIdentity of(const UsbBoard& board);
};

// Why a board could not be chosen.
struct BoardChoice {
    enum class Problem {
        None,           // chosen
        NoBoard,        // no matching board is connected
        NoMatch,        // boards are connected, but none matches the ID
        Several,        // several boards and no ID (or an ID that names several)
        NotAccessible,  // the board named may not be opened by this user
        UsbUnavailable, // libusb cannot be started or cannot list the devices
    };
    Problem problem = Problem::None;
    std::string message;          // one line that says why, the boards named
    std::vector<UsbBoard> boards; // the boards present (for a chooser)
    // The board of `boards` the selection names (or the only one), even when it may not be
    // opened; none when there are several or none.
    std::optional<std::size_t> chosen;
    bool ok() const { return problem == Problem::None; }
};

class BoardConnection {
  public:
    enum class Event { Attached, Detached };
    // Told from the layer's own thread: keep it short and never block in it.
    using EventHandler = std::function<void(Event, const BoardIdentity&)>;

    explicit BoardConnection(BoardSelection selection);
    ~BoardConnection();
    BoardConnection(const BoardConnection&) = delete;
    BoardConnection& operator=(const BoardConnection&) = delete;

    // The matching boards present, as `korva726ctl list` shows them.
    static UsbBoardList List(const MatchEntry& match);

    // Chooses the board as the selection says: the simulated board always; a USB board by
    // its ID, or the only one present. A front end that offers a chooser calls
    // choose(board) with the board the user picked from BoardChoice::boards instead.
    // Without any board present nothing is chosen, and the first matching board that
    // arrives once the connection is open becomes the board.
    BoardChoice choose();
    void choose(const UsbBoard& board);
    // The choice choose() makes, without taking it: the board driven stays as it was (an
    // open connection goes on with its board).
    BoardChoice choice() const;

    // Where the link reports failures: the front end's error reporter. Until one is set a
    // failure halts the link and is told to nobody.
    void setErrorSink(ErrorSink& sink);
    // Notices of the layers, in plain words: the board's (it may not be opened for lack of
    // permission) and the capture's (its file could not be written). May be called from a
    // layer's own thread.
    enum class Notice { Board, Capture };
    std::function<void(Notice, const std::string&)> onNotice;
    // The board's last notice: why it could not be opened, when it could not.
    std::string boardNotice() const;
    // A capture was asked for and could not be written whole (its notice was given).
    bool captureFailed() const { return captureFailed_.load(); }
    // Attach and detach of the chosen board.
    EventHandler onEvent;

    // Starts writing the capture file, when the selection asked for one. Throws
    // std::runtime_error "cannot write capture file PATH: REASON".
    void startCapture();
    // Opens the connection: the chosen board is attached, now when it is present, or when
    // it arrives. The layer's status: 0 on success.
    Status open();
    // Opens the connection for a front end that needs the chosen board at once (after
    // choose()): nothing when the board is attached, else why not.
    struct OpenFailure {
        enum class Kind { UsbUnavailable, Denied, NotThere } kind;
        std::string message; // "USB cannot be used: …", the board's notice, or
                             // "the board could not be opened"
    };
    std::optional<OpenFailure> openNow();
    bool isOpen() const { return driver_ != 0; }
    // Closes the connection (the board is released; the capture stays open until the
    // connection goes).
    void close();
    // Writes out what the layers hold back (the capture's last records).
    void flush();

    Board& board() { return board_; }
    CommandLink& link() { return link_; }
    DeviceContext& context() { return context_; }
    // The top of the layer stack (the capture, when there is one).
    UsbLayer& layer() { return *top_; }
    // The simulated board, when the selection asked for it (tests and demonstrations).
    SimBoard* simulatedBoard() { return sim_; }
    const BoardSelection& selection() const { return selection_; }

    // The board driven: the chosen one, with where it is now.
    BoardIdentity identity() const;
    // Whether the board is attached now.
    bool attached() const { return context_.handle.load() != 0; }

  private:
    class Sink : public ErrorSink {
      public:
        void errMsg(std::int16_t code) override;
        ErrorSink* target = nullptr;
    };
    bool accept(const UsbBoard& board); // the layer's filter: only the chosen board
    bool attach(DeviceHandle device);
    void detach(DeviceHandle device);

    BoardSelection selection_;
    std::unique_ptr<UsbLayer> base_;
    SimBoard* sim_ = nullptr;
    LibusbLayer* usb_ = nullptr;
    std::unique_ptr<CaptureLayer> capture_;
    UsbLayer* top_ = nullptr;
    DeviceContext context_;
    Sink sink_;
    CommandLink link_;
    Board board_;
    DriverHandle driver_ = 0;

    mutable std::mutex m_;
    BoardIdentity chosen_; // the board, once chosen or first attached
    std::string boardNotice_;
    std::atomic<bool> captureFailed_{false};
};

} // namespace korva
