// SIGINT and SIGTERM in korva726ctl. The handler only notes the signal and wakes a wait for
// input; the command in progress then stops at its next exchange (the command link's guard
// throws Stopped; a download stops between two blocks of packets), so that the board never
// sees half an exchange, and the program ends
// on its own path: USB closed and the capture file written out whole. The exit status is
// 128 plus the signal's number (130, 143), as shells expect.
#pragma once

#include <stdexcept>
#include <string>

namespace korva::cli {

// Installs the handlers, without SA_RESTART: a read blocked on a script's input returns.
void InstallStopSignals();
// The first stop signal that arrived, or 0.
int StopSignal();
// Becomes readable when a stop signal arrives, for poll() beside a descriptor being waited
// on (a signal that lands between a check and the wait would otherwise go unnoticed).
int StopWakeFd();

// A stop signal arrived: the command ends where it was. `where` names the place (a line of
// a script, the packets of a download) for the closing message.
struct Stopped : std::runtime_error {
    explicit Stopped(const std::string& where = "") : std::runtime_error(where) {}
};
// Throws Stopped once a stop signal has arrived.
void ThrowIfStopped();
// "stopped by SIGINT" and the place, for the one closing line.
std::string StoppedText(const Stopped& stopped);

} // namespace korva::cli
