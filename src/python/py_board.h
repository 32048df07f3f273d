// One open board as Python sees it: the board connection, a mutex that lets one call at a
// time onto the wire, and the translation of the link's failures into the module's
// exceptions.
//
// Every call that talks to the board goes through run(): with the GIL held it refuses a
// closed board; then, with the GIL released, it waits for the board's mutex and runs the
// core operation; back under the GIL it raises what the link reported. The GIL is always
// released before the mutex is taken, never the other way round, so that a thread that
// waits for the board never holds up the interpreter (nor the thread that has the board).
#pragma once

#include "device/board_connection.h"

#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace korva::python {

namespace py = pybind11;

// The module's Python-side names (exceptions, named tuples, RegisterDump) from
// korva726._types, imported on first use.
py::object Api(const char* name);

// Raises the exception class `name` of korva726._types with one message.
[[noreturn]] void Raise(const char* name, const std::string& message);

// The Config.ini beside the installed programs (the folder is _core._CONFIG_FOLDER, which
// tests point elsewhere), read afresh on each call.
// [USB] VendorID and ProductID: the identifiers a USB board is matched by. With `warn`,
// each refused value is a Python warning naming its line.
MatchEntry ReadUsbSettings(bool warn);
// [Flags] Test: dump files name every register.
bool ReadTestSetting();

class PyBoard {
  public:
    // Chooses and opens the board (the GIL released while USB is searched and opened).
    // Raises the module's exceptions when it cannot.
    explicit PyBoard(BoardSelection selection);
    ~PyBoard();
    PyBoard(const PyBoard&) = delete;
    PyBoard& operator=(const PyBoard&) = delete;

    // Runs `op(connection)` as described above and returns what it returns. `what` names
    // the action in a failure's message ("reading AFE register 0x06"): a text, or a
    // function that makes it, called only when there is a failure to tell.
    template <typename What, typename Op> auto run(const What& what, Op&& op) {
        enterCheck();
        using Result = decltype(op(std::declval<BoardConnection&>()));
        std::optional<Result> result;
        Outcome outcome;
        {
            py::gil_scoped_release nogil;
            Hold hold(*this);
            outcome = before();
            if (outcome.kind == Outcome::Ok) {
                result.emplace(op(*connection_));
                outcome = after();
            }
        }
        if (outcome.kind != Outcome::Ok) {
            if constexpr (std::is_invocable_v<const What&>)
                raise(what(), outcome);
            else
                raise(what, outcome);
        }
        return std::move(*result);
    }

    // Raises BoardClosed once the board is closed.
    void checkOpen() const;
    // Closes the board (waits for a call in progress); again is harmless.
    void close();
    std::string identity() const;
    std::string describe() const; // identity, and "closed" once closed

    // The simulated board (tests), or null; raises BoardClosed once closed.
    SimBoard* simulated();

  private:
    struct Outcome {
        enum Kind { Ok, Closed, Failed, EarlierFailure } kind = Ok;
        std::optional<LinkFailure> failure; // none: the board was not there
    };
    class Sink : public ErrorSink {
      public:
        void errMsg(std::int16_t) override {}
    };
    // The board's mutex, with the thread that holds it noted (to refuse a call into the
    // board from inside one of its own calls, which would wait for itself).
    class Hold {
      public:
        explicit Hold(PyBoard& board);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

      private:
        PyBoard& board_;
        std::unique_lock<std::mutex> lock_;
    };
    void enterCheck() const;
    Outcome before() const;
    Outcome after() const;
    [[noreturn]] void raise(const std::string& what, const Outcome& outcome) const;

    std::mutex m_;
    std::atomic<std::thread::id> holder_{};
    std::atomic<bool> closed_{false};
    Sink sink_;
    std::unique_ptr<BoardConnection> connection_;
    std::string identity_;
};

} // namespace korva::python
