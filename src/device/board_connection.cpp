#include "board_connection.h"

#include "capture_layer.h"
#include "libusb_layer.h"
#include "sim_board.h"

namespace korva {

std::string BoardIdentity::describe() const {
    if (simulated) return "simulated board";
    if (port.empty()) return "no board";
    if (serial.empty()) return "board at port " + port;
    return "board " + serial + " (port " + port + ")";
}

std::string BoardIdentity::key() const {
    if (simulated) return "simulated";
    return serial.empty() ? port : serial;
}

bool BoardIdentity::sameBoard(const BoardIdentity& other) const {
    if (simulated || other.simulated) return simulated == other.simulated;
    if (!serial.empty() && !other.serial.empty()) return serial == other.serial;
    return !port.empty() && port == other.port;
}

BoardIdentity BoardIdentity::of(const UsbBoard& board) {
    BoardIdentity id;
    id.serial = board.serial;
    id.port = board.port;
    return id;
}

void BoardConnection::Sink::errMsg(std::int16_t code) {
    if (target) target->errMsg(code);
}

namespace {

// The board's own layer: the simulated board, or libusb for a USB board.
std::unique_ptr<UsbLayer> makeBoardLayer(const BoardSelection& selection) {
    if (selection.simulate) return std::make_unique<SimBoard>();
    return std::make_unique<LibusbLayer>();
}

// A capture around the board's layer when one is asked for; its file is opened later.
std::unique_ptr<CaptureLayer> makeCapture(const BoardSelection& selection, UsbLayer& inner) {
    if (selection.capture.empty()) return nullptr;
    return std::make_unique<CaptureLayer>(inner);
}

// Why ChooseUsbBoard chose no board, as the connection tells it.
BoardChoice::Problem problemOf(UsbBoardChoice::Reason reason) {
    using Problem = BoardChoice::Problem;
    using Reason = UsbBoardChoice::Reason;
    switch (reason) {
    case Reason::Chosen:
        return Problem::None;
    case Reason::NoBoard:
        return Problem::NoBoard;
    case Reason::NoMatch:
        return Problem::NoMatch;
    case Reason::Several:
        return Problem::Several;
    }
    return Problem::Several;
}

} // namespace

BoardConnection::BoardConnection(BoardSelection selection)
    : selection_(std::move(selection)), base_(makeBoardLayer(selection_)),
      sim_(dynamic_cast<SimBoard*>(base_.get())), usb_(dynamic_cast<LibusbLayer*>(base_.get())),
      capture_(makeCapture(selection_, *base_)),
      top_(capture_ ? static_cast<UsbLayer*>(capture_.get()) : base_.get()),
      link_(*top_, context_, sink_), board_(link_) {
    if (sim_) chosen_.simulated = true;
    // Each layer's notices are heard here: the capture's tell of its file, the board's of
    // the board.
    if (capture_)
        capture_->onNotice = [this](const std::string& text) {
            captureFailed_ = true;
            if (onNotice) onNotice(Notice::Capture, text);
        };
    base_->onNotice = [this](const std::string& text) {
        {
            std::lock_guard lock(m_);
            boardNotice_ = text;
        }
        if (onNotice) onNotice(Notice::Board, text);
    };
    if (usb_) usb_->setBoardFilter([this](const UsbBoard& b) { return accept(b); });
}

BoardConnection::~BoardConnection() {
    close();
    capture_.reset(); // writes out its last records; its notices may still come
    base_->onNotice = nullptr;
}

std::string BoardConnection::boardNotice() const {
    std::lock_guard lock(m_);
    return boardNotice_;
}

UsbBoardList BoardConnection::List(const MatchEntry& match) {
    return ListUsbBoards(match);
}

BoardChoice BoardConnection::choose() {
    BoardChoice found = choice();
    if (found.ok() && found.chosen) choose(found.boards[*found.chosen]);
    return found;
}

BoardChoice BoardConnection::choice() const {
    using Problem = BoardChoice::Problem;
    BoardChoice found;
    if (sim_) return found;
    UsbBoardList list = List(selection_.match);
    if (!list.error.empty()) {
        found.problem = Problem::UsbUnavailable;
        found.message = "no KORVA726EVAL board can be reached: " + list.error;
        return found;
    }
    found.boards = std::move(list.boards);
    const std::optional<std::string> id =
        selection_.device.empty() ? std::nullopt : std::optional(selection_.device);
    const UsbBoardChoice picked = ChooseUsbBoard(found.boards, id, selection_.match);
    if (!picked.index) {
        found.message = picked.error;
        found.problem = problemOf(picked.reason);
        return found;
    }
    found.chosen = picked.index;
    const UsbBoard& board = found.boards[*picked.index];
    if (!board.accessible) {
        found.problem = Problem::NotAccessible;
        found.message = LibusbLayer::permissionNotice(selection_.match);
    }
    return found;
}

void BoardConnection::choose(const UsbBoard& board) {
    std::lock_guard lock(m_);
    chosen_ = BoardIdentity::of(board);
}

void BoardConnection::setErrorSink(ErrorSink& sink) {
    sink_.target = &sink;
}

void BoardConnection::startCapture() {
    if (capture_ && capture_->path().empty()) capture_->open(selection_.capture);
}

Status BoardConnection::open() {
    if (driver_ != 0) return status::Success;
    EventTable table;
    table.userData = this;
    table.attach = [](DeviceHandle h, void* self) {
        return static_cast<BoardConnection*>(self)->attach(h);
    };
    table.detach = [](DeviceHandle h, void* self) {
        static_cast<BoardConnection*>(self)->detach(h);
    };
    return top_->init(&driver_, selection_.match, table);
}

std::optional<BoardConnection::OpenFailure> BoardConnection::openNow() {
    using Kind = OpenFailure::Kind;
    if (const Status s = open(); s != status::Success)
        return OpenFailure{Kind::UsbUnavailable, "USB cannot be used: " + Stat2Str(*top_, s)};
    if (attached()) return std::nullopt;
    // The board's notice says why it could not be opened (a permission it lacks).
    const std::string notice = boardNotice();
    return OpenFailure{usb_ && usb_->accessDenied() ? Kind::Denied : Kind::NotThere,
                       notice.empty() ? "the board could not be opened" : notice};
}

void BoardConnection::close() {
    if (driver_ == 0) return;
    top_->uninit(driver_);
    driver_ = 0;
}

void BoardConnection::flush() {
    top_->flush();
}

BoardIdentity BoardConnection::identity() const {
    std::lock_guard lock(m_);
    return chosen_;
}

bool BoardConnection::accept(const UsbBoard& board) {
    std::lock_guard lock(m_);
    const BoardIdentity arriving = BoardIdentity::of(board);
    if (chosen_.none()) {
        // Nothing was chosen (no board was there at start): the first one to come is it.
        if (!board.accessible) return true; // its permission problem is worth telling
        chosen_ = arriving;
        return true;
    }
    return chosen_.sameBoard(arriving);
}

bool BoardConnection::attach(DeviceHandle device) {
    if (!DeviceAttach(*top_, device, context_)) return false;
    BoardIdentity now;
    {
        std::lock_guard lock(m_);
        if (usb_) {
            // The same board may come back at another bus address: keep where it is now.
            if (const auto board = usb_->identify(device)) {
                const std::string serial = chosen_.serial;
                chosen_ = BoardIdentity::of(*board);
                if (chosen_.serial.empty()) chosen_.serial = serial;
            }
        }
        now = chosen_;
    }
    if (onEvent) onEvent(Event::Attached, now);
    return true;
}

void BoardConnection::detach(DeviceHandle device) {
    const bool ours = context_.handle.load() == device;
    DeviceDetach(device, context_);
    if (ours && onEvent) onEvent(Event::Detached, identity());
}

} // namespace korva
