#include "write_log.h"

#include "afe/register_map.h"
#include "device/board.h"
#include "device/textnum.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace korva {
namespace {

std::string hex(unsigned v) {
    return "0x" + HexByte(static_cast<std::uint8_t>(v));
}

// The same in the lower-case form korva726ctl and Python print.
std::string lhex(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", v & 0xFFu);
    return buf;
}

std::string clock(std::chrono::system_clock::time_point t) {
    const std::time_t s = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    localtime_r(&s, &local);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
    return buf;
}

// An action's text in a comment or a Python string: one line, printable.
std::string oneLine(const std::string& text) {
    std::string out;
    for (char c : text)
        out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c;
    return out;
}

// One write as the lines of a replay: korva726ctl commands, or Python statements. A write
// that a replay cannot or need not make comes back as a comment.
std::vector<std::string> replay(const LoggedWrite& w, bool python) {
    std::vector<std::string> lines;
    const auto afe = [&](int address, unsigned value) {
        const std::string text =
            python ? "board.afe.write(" + lhex(address) + ", " + lhex(value) + ", verify=False)"
                   : "set " + lhex(address) + " " + lhex(value);
        // The chip ignores writes to its read-only registers: nothing to replay.
        lines.push_back(IsReadOnlyRegister(address) ? "# " + text + "  (read-only register)"
                                                    : text);
    };
    const auto& a = w.args;
    switch (w.opcode) {
    case opcode::WriteByteAfe:
        afe(a[0], a[1]);
        break;
    case opcode::WriteBurstI2C:
        if (a[0] != kAfeI2cAddress) break;
        for (std::size_t i = 0; i < w.data.size(); ++i)
            afe(a[1] + static_cast<int>(i), w.data[i]);
        break;
    case opcode::WriteByteFpga:
        lines.push_back(python ? "board.fpga.write(" + lhex(a[0]) + ", " + lhex(a[1]) + ")"
                               : "fpga set " + lhex(a[0]) + " " + lhex(a[1]));
        break;
    case opcode::MuxChannel:
        lines.push_back((python ? "board.mux(" : "mux ") + std::to_string(a[0]) +
                        (python ? ")" : ""));
        break;
    case opcode::SyncSeparatorMode:
        lines.push_back((python ? "board.sync(" : "sync ") + std::to_string(a[0]) +
                        (python ? ")" : ""));
        break;
    case opcode::WritePortA:
    case opcode::WritePortB:
    case opcode::WritePortE: {
        const char* port = w.opcode == opcode::WritePortA   ? "a"
                           : w.opcode == opcode::WritePortB ? "b"
                                                            : "e";
        lines.push_back(python ? std::string("board.port(\"") + port + "\", " + lhex(a[0]) + ")"
                               : std::string("port ") + port + " " + lhex(a[0]));
        break;
    }
    case opcode::WriteEeprom:
        lines.push_back(python ? "board.eeprom_write(" + lhex(a[1]) + ", " + lhex(a[2]) + ")"
                               : "eeprom set -y " + lhex(a[1]) + " " + lhex(a[2]));
        break;
    default:
        break;
    }
    if (lines.empty()) lines.push_back("# " + w.describe() + "  (no replay for it)");
    return lines;
}

} // namespace

std::string LoggedWrite::describe() const {
    const char* name = OperationName(opcode);
    std::string text = name ? name : "opcode " + hex(opcode);
    switch (opcode) {
    case opcode::WriteByteAfe:
    case opcode::WriteByteFpga:
        text += " " + hex(args[0]) + " \u2190 " + hex(args[1]);
        break;
    case opcode::WriteBurstI2C: {
        text += " " + hex(args[0]) + " " + hex(args[1]) + " \u2190";
        for (std::uint8_t v : data)
            text += " " + hex(v).substr(2);
        break;
    }
    case opcode::MuxChannel:
    case opcode::SyncSeparatorMode:
        text += " " + std::to_string(args[0]);
        break;
    case opcode::WriteEeprom:
        text += " " + hex(args[1]) + " \u2190 " + hex(args[2]);
        break;
    default:
        text += " " + hex(args[0]);
        break;
    }
    if (readBack) text += ", read back " + hex(*readBack);
    if (!completed) text += ", the board did not answer";
    return text;
}

void WriteLog::actionBegun(const UserAction& action) {
    actionStart_ = dropped_ + entries_.size();
    text_ = &action.text;
}

void WriteLog::actionEnded() {
    action_.reset();
    text_ = nullptr;
}

void WriteLog::exchanged(const Packet& command, const ExchangeResult& result) {
    const std::uint8_t op = command[0];
    if (IsWriteOperation(op)) {
        if (text_ && !action_) action_ = std::make_shared<const std::string>(*text_);
        LoggedWrite w;
        w.time = std::chrono::system_clock::now();
        w.action = action_;
        w.opcode = op;
        w.args = {command[1], command[2], command[3]};
        if (op == opcode::WriteBurstI2C)
            w.data.assign(command.begin() + 4,
                          command.begin() + 4 + std::min<std::size_t>(command[3], kMaxBurstWrite));
        w.completed = result.ok;
        if (entries_.size() >= capacity_) {
            entries_.pop_front();
            ++dropped_;
        }
        entries_.push_back(std::move(w));
        if (changed) changed();
        return;
    }
    // A read of registers this action wrote is their read-back.
    if (!action_ || !result.ok) return;
    int first = 0, count = 0;
    bool afe = true;
    if (op == opcode::ReadBurstI2C && command[1] == kAfeI2cAddress) {
        first = command[2], count = command[3];
    } else if (op == opcode::ReadByteAfe) {
        first = command[1], count = 1;
    } else if (op == opcode::ReadByteFpga) {
        first = command[1], count = 1, afe = false;
    } else {
        return;
    }
    bool filled = false;
    const std::size_t start = actionStart_ > dropped_ ? actionStart_ - dropped_ : 0;
    for (std::size_t i = start; i < entries_.size(); ++i) {
        LoggedWrite& w = entries_[i];
        if (w.readBack) continue;
        const bool mine =
            afe ? w.opcode == opcode::WriteByteAfe : w.opcode == opcode::WriteByteFpga;
        const int at = w.args[0] - first;
        if (!mine || at < 0 || at >= count) continue;
        w.readBack = result.reply[static_cast<std::size_t>(at)];
        filled = true;
    }
    if (filled && changed) changed();
}

void WriteLog::clear() {
    dropped_ += entries_.size();
    entries_.clear();
    if (changed) changed();
}

namespace {

// The entries' replay lines after `indent`, each user action headed by a comment with its
// time and text (a write outside any action by its own description). Says whether any
// line is a statement rather than a comment.
bool appendReplay(std::string& out, const std::deque<LoggedWrite>& entries, bool python,
                  const std::string& indent) {
    const std::string* shown = nullptr;
    bool any = false;
    for (const LoggedWrite& w : entries) {
        if (!w.action || w.action.get() != shown) {
            out += indent + "# " + clock(w.time) + " " +
                   oneLine(w.action ? *w.action : w.describe()) + "\n";
            shown = w.action.get();
        }
        for (const std::string& line : replay(w, python)) {
            out += indent + line + "\n";
            any = any || line[0] != '#';
        }
    }
    return any;
}

} // namespace

std::string WriteLog::toScript(const std::string& title) const {
    std::string out = "# " + oneLine(title) + "\n# Replay it: korva726ctl run FILE\n";
    appendReplay(out, entries_, false, "");
    return out;
}

std::string WriteLog::toPython(const std::string& title) const {
    std::string out = "#!/usr/bin/env python3\n\"\"\"" + oneLine(title) +
                      "\n\nReplay it: python3 FILE [--simulate] [--device ID]\n\"\"\"\n"
                      "import argparse\n\nimport korva726\n\n"
                      "parser = argparse.ArgumentParser()\n"
                      "parser.add_argument(\"--simulate\", action=\"store_true\")\n"
                      "parser.add_argument(\"--device\")\n"
                      "args = parser.parse_args()\n"
                      "with korva726.open(args.device, simulate=args.simulate) as board:\n";
    if (!appendReplay(out, entries_, true, "    ")) out += "    pass\n";
    return out;
}

} // namespace korva
