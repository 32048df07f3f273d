#include "session.h"

#include "output.h"

#include "device/sim_board.h"
#include "config/ini_reader.h"

#include <cstdio>
#include <filesystem>

namespace korva::cli {

Session::~Session() {
    if (driver_ != 0) layer_->uninit(driver_);
    if (base_) base_->onNotice = nullptr;
}

void Session::readConfig() {
    const std::string bin = ProgramFolder();
    if (bin.empty()) return;
    const std::string ini = (std::filesystem::path(bin) / "Config.ini").string();
    hiddenModes_ = ReadTestFlag(ini);
    const UsbMatchSetting usb = ReadUsbMatch(ini, match_);
    match_ = usb.match;
    matchProblems_ = usb.problems;
}

const MatchEntry& Session::match() {
    for (const std::string& problem : matchProblems_)
        Say(problem);
    matchProblems_.clear();
    return match_;
}

void Session::start() {
    readConfig();
    if (options_.simulate && !options_.device.empty())
        throw CommandError(kUsage, "--device chooses a USB board; it cannot go with --simulate");
    if (options_.simulate) {
        base_ = std::make_unique<SimBoard>();
    } else {
        auto usb = std::make_unique<LibusbLayer>();
        usb_ = usb.get();
        base_ = std::move(usb);
    }
    layer_ = base_.get();
    if (!options_.capture.empty()) {
        try {
            capture_ = std::make_unique<CaptureLayer>(*base_, options_.capture);
        } catch (const std::exception& e) {
            throw CommandError(kFailure, e.what());
        }
        // The capture's own notices say that it failed (from its writing thread, maybe):
        // said at once, and the command will end with status 2.
        capture_->onNotice = [this](const std::string& text) {
            if (!captureFailed_.exchange(true)) Say(text);
        };
        layer_ = capture_.get();
    }
    // The board's notices (set after the capture, which would otherwise pass them on as
    // its own) tell why it could not be opened.
    base_->onNotice = [this](const std::string& text) { notice_ = text; };
    stoppable_ = std::make_unique<StoppableLayer>(*layer_);
    layer_ = stoppable_.get();
}

bool Session::finish() {
    if (capture_) capture_->flush();
    return !captureFailed_;
}

void Session::chooseUsbBoard() {
    const UsbBoardList list = ListUsbBoards(match());
    if (!list.error.empty())
        throw CommandError(kFailure, "no KORVA726EVAL board can be reached: " + list.error);
    const std::optional<std::string> id =
        options_.device.empty() ? std::nullopt : std::optional(options_.device);
    const UsbBoardChoice choice = ChooseUsbBoard(list.boards, id, match_);
    if (!choice.index) throw CommandError(kFailure, choice.error);
    const UsbBoard& chosen = list.boards[*choice.index];
    if (!chosen.accessible) throw CommandError(kFailure, LibusbLayer::permissionNotice(match_));
    usb_->openOnly(chosen.bus, chosen.address);
}

Board& Session::board() {
    if (board_) return *board_;
    if (usb_) chooseUsbBoard();
    const Status s = layer_->init(&driver_, match_, MakeEventTable(*layer_, context_));
    if (s != status::Success)
        throw CommandError(kFailure, "USB cannot be used: " + Stat2Str(*layer_, s));
    if (context_.handle.load() == 0)
        throw CommandError(kFailure, notice_.empty() ? "the board could not be opened" : notice_);
    link_ = std::make_unique<CommandLink>(*layer_, context_, sink_);
    board_ = std::make_unique<Board>(*link_);
    return *board_;
}

void Session::check(const std::string& what) const {
    if (!sink_.failed()) return;
    // The link knows which operation failed and why; without that detail (the board was
    // not there at all) the sink's own text says so.
    const auto failure = link_ ? link_->lastFailure() : std::nullopt;
    throw CommandError(kFailure, what + ": " + (failure ? Describe(*failure) : sink_.message()));
}

} // namespace korva::cli
