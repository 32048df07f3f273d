#include "py_board.h"

#include "config/ini_reader.h"

#include <filesystem>
#include <stdexcept>

namespace korva::python {

py::object Api(const char* name) {
    // Kept for the life of the process: the module is never unloaded.
    static py::module_* types = new py::module_(py::module_::import("korva726._types"));
    return types->attr(name);
}

void Raise(const char* name, const std::string& message) {
    const py::object type = Api(name);
    PyErr_SetString(type.ptr(), message.c_str());
    throw py::error_already_set();
}

namespace {

// Config.ini in the folder _core._CONFIG_FOLDER names: a module attribute, read on each
// call, so that a test may point it at a file of its own.
std::string configFile() {
    const py::object folder = py::module_::import("korva726._core").attr("_CONFIG_FOLDER");
    return (std::filesystem::path(folder.cast<std::string>()) / "Config.ini").string();
}

using Problem = BoardChoice::Problem;

const char* classOfChoice(Problem problem) {
    switch (problem) {
    case Problem::NoBoard:
    case Problem::NoMatch:
        return "BoardNotFound";
    case Problem::NotAccessible:
        return "BoardPermissionError";
    default:
        return "Error";
    }
}

// The exception class of a failed exchange: a time-out, a board that is not there, or
// any other failed transfer (a short reply among them).
const char* classOfFailure(const std::optional<LinkFailure>& failure) {
    if (!failure) return "BoardNotFound";
    return failure->status == status::Timeout ? "TransferTimeout" : "TransferError";
}

std::string describeFailure(const std::optional<LinkFailure>& failure) {
    return failure ? Describe(*failure)
                   : "the board is not there (not connected, or it was unplugged)";
}

} // namespace

MatchEntry ReadUsbSettings(bool warn) {
    const UsbMatchSetting usb = ReadUsbMatch(configFile(), MatchEntry{});
    if (!warn) return usb.match;
    for (const std::string& problem : usb.problems)
        if (PyErr_WarnEx(PyExc_UserWarning, problem.c_str(), 1) != 0) throw py::error_already_set();
    return usb.match;
}

bool ReadTestSetting() {
    return ReadTestFlag(configFile());
}

PyBoard::PyBoard(BoardSelection selection) {
    if (selection.simulate && !selection.device.empty())
        throw py::value_error("device chooses a USB board; it cannot go with simulate=True");
    const char* errorClass = nullptr;
    std::string error;
    {
        py::gil_scoped_release nogil;
        connection_ = std::make_unique<BoardConnection>(std::move(selection));
        connection_->setErrorSink(sink_);
        const BoardChoice choice = connection_->choose();
        if (!choice.ok()) {
            errorClass = classOfChoice(choice.problem);
            error = choice.message;
        }
        if (!errorClass) {
            try {
                connection_->startCapture();
            } catch (const std::exception& e) {
                errorClass = "Error";
                error = e.what();
            }
        }
        if (!errorClass) {
            if (const auto failure = connection_->openNow()) {
                using Kind = BoardConnection::OpenFailure::Kind;
                errorClass = failure->kind == Kind::UsbUnavailable ? "Error"
                             : failure->kind == Kind::Denied       ? "BoardPermissionError"
                                                                   : "BoardNotFound";
                error = failure->message;
            }
        }
        if (errorClass)
            connection_.reset();
        else
            identity_ = connection_->identity().describe();
    }
    if (errorClass) Raise(errorClass, error);
}

PyBoard::~PyBoard() {
    // Closing may wait for the USB layer's thread: let other threads run meanwhile.
    py::gil_scoped_release nogil;
    connection_.reset();
}

PyBoard::Hold::Hold(PyBoard& board) : board_(board), lock_(board.m_) {
    board_.holder_ = std::this_thread::get_id();
}

PyBoard::Hold::~Hold() {
    board_.holder_ = std::thread::id{};
}

void PyBoard::enterCheck() const {
    if (holder_.load() == std::this_thread::get_id())
        throw std::runtime_error("the board is busy with a call of this thread (a progress "
                                 "callback cannot use its own board)");
    checkOpen();
}

void PyBoard::checkOpen() const {
    if (closed_) Raise("BoardClosed", identity_ + " is closed");
}

PyBoard::Outcome PyBoard::before() const {
    if (!connection_) return {Outcome::Closed, {}};
    const CommandLink& link = const_cast<BoardConnection&>(*connection_).link();
    if (link.halted()) return {Outcome::EarlierFailure, link.lastFailure()};
    return {};
}

PyBoard::Outcome PyBoard::after() const {
    const CommandLink& link = const_cast<BoardConnection&>(*connection_).link();
    if (link.halted()) return {Outcome::Failed, link.lastFailure()};
    return {};
}

void PyBoard::raise(const std::string& what, const Outcome& outcome) const {
    switch (outcome.kind) {
    case Outcome::Closed:
        Raise("BoardClosed", identity_ + " is closed");
    case Outcome::EarlierFailure:
        Raise(classOfFailure(outcome.failure),
              what + ": nothing was sent, as an earlier exchange failed (" +
                  describeFailure(outcome.failure) + "); open the board again");
    default:
        Raise(classOfFailure(outcome.failure), what + ": " + describeFailure(outcome.failure));
    }
}

void PyBoard::close() {
    if (holder_.load() == std::this_thread::get_id())
        throw std::runtime_error("the board cannot be closed from inside one of its own calls");
    py::gil_scoped_release nogil;
    std::lock_guard lock(m_);
    closed_ = true;
    connection_.reset();
}

std::string PyBoard::identity() const {
    checkOpen();
    return identity_;
}

std::string PyBoard::describe() const {
    return closed_ ? identity_ + ", closed" : identity_;
}

SimBoard* PyBoard::simulated() {
    checkOpen();
    return connection_->simulatedBoard();
}

} // namespace korva::python
