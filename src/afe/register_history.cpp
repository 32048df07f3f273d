#include "register_history.h"

#include "afe/afe_ops.h"

#include <algorithm>
#include <utility>

namespace korva {
namespace {

// Why an action of this kind is not undone.
const char* stopReason(ActionKind kind) {
    switch (kind) {
    case ActionKind::ModeSetup:
        return "mode set-ups are not undone";
    case ActionKind::Fpga:
        return "FPGA writes are not undone";
    case ActionKind::Debug:
        return "debug writes are not undone";
    case ActionKind::Registers: // one that also wrote something else
    case ActionKind::History:
        break;
    }
    return "it wrote more than AFE registers";
}

} // namespace

RegisterHistory::RegisterHistory(ShownValue shown, std::size_t depth)
    : shown_(std::move(shown)), depth_(std::max<std::size_t>(depth, 1)) {}

void RegisterHistory::actionBegun(const UserAction& action) {
    action_ = &action;
    changes_.clear();
    otherWrites_ = false;
    wrote_ = false;
}

void RegisterHistory::exchanged(const Packet& command, const ExchangeResult&) {
    const std::uint8_t op = command[0];
    if (!IsWriteOperation(op)) return;
    if (!action_) { // a write no user action owns: nothing known of it to undo
        push({"a board write", {}, "writes outside a user action are not undone"});
        return;
    }
    if (action_->kind == ActionKind::History) return; // an undo or redo under way
    wrote_ = true;
    if (op != opcode::WriteByteAfe || command[1] >= kAfeRegisterCount) {
        otherWrites_ = true;
        return;
    }
    const int address = command[1];
    if (IsReadOnlyRegister(address)) return; // the chip keeps a status register as it is
    const auto known =
        std::find_if(changes_.begin(), changes_.end(),
                     [address](const RegisterChange& c) { return c.address == address; });
    if (known != changes_.end()) {
        known->after = command[2];
        return;
    }
    // The box still shows what it showed before the action: an action shows what it
    // wrote only after its writes and read-backs.
    changes_.push_back({address, shown_(address), command[2]});
}

void RegisterHistory::actionEnded() {
    const UserAction* action = std::exchange(action_, nullptr);
    if (!action || action->kind == ActionKind::History) return;
    // An action that sent no write (a DE box whose count did not change) leaves the
    // history as it was.
    if (!wrote_) return;
    if (action->kind != ActionKind::Registers || otherWrites_) {
        push({action->text, {}, stopReason(action->kind)});
        return;
    }
    // An action that wrote what the boxes already showed changed nothing: no step, and
    // whatever can be redone stays (a key released after an undo rewrites its box).
    const bool changedSomething =
        std::any_of(changes_.begin(), changes_.end(),
                    [](const RegisterChange& c) { return !c.before || *c.before != c.after; });
    if (changedSomething)
        push({action->step.empty() ? action->text : action->step, std::move(changes_), {}});
    changes_.clear();
}

void RegisterHistory::push(Step step) {
    redo_.clear();
    // Consecutive stops say the same: the newest stands for them.
    if (!step.stop.empty() && !undo_.empty() && !undo_.back().stop.empty()) undo_.pop_back();
    undo_.push_back(std::move(step));
    if (undo_.size() > depth_) undo_.pop_front();
    tell();
}

void RegisterHistory::tell() const {
    if (changed) changed();
}

RegisterHistory::Offer RegisterHistory::undoOffer() const {
    if (undo_.empty()) return {false, "Undo"};
    const Step& top = undo_.back();
    if (!top.stop.empty()) return {false, "Can't Undo " + top.name + " (" + top.stop + ")"};
    return {true, "Undo " + top.name};
}

RegisterHistory::Offer RegisterHistory::redoOffer() const {
    if (redo_.empty()) return {false, "Redo"};
    return {true, "Redo " + redo_.back().name};
}

std::optional<RegisterHistory::Outcome> RegisterHistory::undo(Board& board) {
    return apply(board, true);
}

std::optional<RegisterHistory::Outcome> RegisterHistory::redo(Board& board) {
    return apply(board, false);
}

std::optional<RegisterHistory::Outcome> RegisterHistory::apply(Board& board, bool undo) {
    std::deque<Step>& from = undo ? undo_ : redo_;
    if (from.empty() || !from.back().stop.empty()) return std::nullopt;
    Step step = std::move(from.back());
    from.pop_back();
    (undo ? redo_ : undo_).push_back(step);

    Outcome out;
    out.step = step.name;
    std::vector<std::pair<int, std::uint8_t>> targets;
    for (const RegisterChange& c : step.changes) {
        if (undo && !c.before)
            out.notRestored.push_back(c.address);
        else
            targets.emplace_back(c.address, undo ? *c.before : c.after);
    }
    std::sort(targets.begin(), targets.end());
    std::sort(out.notRestored.begin(), out.notRestored.end());
    {
        const ActionScope action(board.link(),
                                 {(undo ? "Undo " : "Redo ") + step.name, ActionKind::History, {}});
        for (const auto& [address, value] : targets)
            if (!(out.linkUp = board.WriteByte_AFE(address, value))) break;
        if (out.linkUp && !targets.empty()) {
            // The history holds only writable registers, 0x03 to 0x41: one burst reads
            // them back.
            const int first = targets.front().first;
            const auto values = ReadAfeRegisters(board, first, targets.back().first + 1 - first);
            out.linkUp = values.has_value();
            if (values)
                for (const auto& [address, value] : targets)
                    out.readBack.emplace_back(address,
                                              (*values)[static_cast<std::size_t>(address - first)]);
        }
    }
    tell();
    return out;
}

} // namespace korva
