#include "session.h"

#include "output.h"

#include "config/ini_reader.h"

#include <cstdio>
#include <filesystem>

namespace korva::cli {

Session::~Session() = default;

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

BoardSelection Session::selection() const {
    BoardSelection selection;
    selection.simulate = options_.simulate;
    selection.device = options_.device;
    selection.capture = options_.capture;
    selection.match = match_;
    return selection;
}

void Session::start() {
    readConfig();
    if (options_.simulate && !options_.device.empty())
        throw CommandError(kUsage, "--device chooses a USB board; it cannot go with --simulate");
    connection_ = std::make_unique<BoardConnection>(selection());
    connection_->setErrorSink(sink_);
    // A stop signal stops the command before its next exchange or write: the board and the
    // capture see whole exchanges only.
    connection_->link().setGuard(&ThrowIfStopped);
    // The capture's failure is said at once (maybe from its writing thread), once; the
    // command will end with status 2. The board's notices tell why it cannot be opened,
    // said when opening it fails.
    connection_->onNotice = [](BoardConnection::Notice kind, const std::string& text) {
        if (kind == BoardConnection::Notice::Capture) Say(text);
    };
    try {
        connection_->startCapture();
    } catch (const std::exception& e) {
        throw CommandError(kFailure, e.what());
    }
}

bool Session::finish() {
    if (connection_) connection_->flush();
    return !connection_ || !connection_->captureFailed();
}

BoardChoice Session::boards() {
    match(); // bad identifiers in Config.ini are worth a word where USB boards are looked for
    // Only looked at: nothing is opened or recorded, and a board already opened by an
    // earlier command of a script stays the one driven.
    BoardChoice choice = connection_->choice();
    if (choice.problem == BoardChoice::Problem::UsbUnavailable)
        throw CommandError(kFailure, "the USB devices cannot be listed: " + choice.message);
    return choice;
}

Board& Session::board() {
    if (opened_) return connection_->board();
    if (!options_.simulate) match();
    const BoardChoice choice = connection_->choose();
    if (!choice.ok()) throw CommandError(kFailure, choice.message);
    if (const auto failure = connection_->openNow()) throw CommandError(kFailure, failure->message);
    opened_ = true;
    return connection_->board();
}

void Session::check(const std::string& what) const {
    if (!sink_.failed()) return;
    // The link knows which operation failed and why; without that detail (the board was
    // not there at all) the sink's own text says so.
    const auto failure = opened_ ? connection_->link().lastFailure() : std::nullopt;
    throw CommandError(kFailure, what + ": " + (failure ? Describe(*failure) : sink_.message()));
}

} // namespace korva::cli
