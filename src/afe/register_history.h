// The undo history of the AFE register writes a user makes. Each user action that writes
// registers from the register boxes or a file (a box's write, a ganged write, an individual
// write, a load) is one step, holding for each register it wrote the value its box showed
// from the board before the action and the value the action wrote. Undo writes the earlier
// values back, redo the written ones; both then read back what they wrote.
//
// It listens to the command link beside the write log. An action of another kind that
// writes (a mode set-up, FPGA or debug writes) is not undone: it stops the history, since
// taking back a register write made before it could take back part of what it did. Undo
// then offers nothing and says why, until a later step lies above it.
#pragma once

#include "afe/register_map.h"
#include "device/board.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korva {

struct RegisterChange {
    int address = 0;
    std::optional<std::uint8_t> before; // as the register's box showed it; nothing: never read
    std::uint8_t after = 0;             // what the action wrote
};

class RegisterHistory : public ExchangeObserver {
  public:
    static constexpr std::size_t kDefaultDepth = 1000; // steps kept; the oldest go first

    // The value a register's box last showed from the board; nothing when it never has.
    using ShownValue = std::function<std::optional<std::uint8_t>(int address)>;
    explicit RegisterHistory(ShownValue shown, std::size_t depth = kDefaultDepth);

    void actionBegun(const UserAction& action) override;
    void exchanged(const Packet& command, const ExchangeResult& result) override;
    void actionEnded() override;

    // What the Undo or the Redo item says and whether it can be chosen: "Undo Red Gain
    // 0x80"; "Undo" when there is nothing; "Can't Undo Mode ... (mode set-ups are not
    // undone)" when the last action that wrote cannot be undone.
    struct Offer {
        bool possible = false;
        std::string text;
    };
    Offer undoOffer() const;
    Offer redoOffer() const;
    // The same possibilities without the texts.
    bool canUndo() const { return !undo_.empty() && undo_.back().stop.empty(); }
    bool canRedo() const { return !redo_.empty(); }

    // What an undo or a redo did: the registers it read back with their values (for the
    // boxes to show), and the registers an undo could not restore because their boxes had
    // never been read before the step (they keep what the step wrote).
    struct Outcome {
        std::string step;
        bool linkUp = true; // false: a write or read failed (reported)
        std::vector<std::pair<int, std::uint8_t>> readBack;
        std::vector<int> notRestored;
    };
    // The writes in address order, then one burst read of the written span (one register:
    // the read-back of a box's write). Nothing when nothing can be undone (redone).
    std::optional<Outcome> undo(Board& board);
    std::optional<Outcome> redo(Board& board);

    // Told after each change of what undo and redo offer.
    std::function<void()> changed;

  private:
    struct Step {
        std::string name; // "Red Gain 0x80"; for a stop, the action's text
        std::vector<RegisterChange> changes;
        std::string stop; // why it cannot be undone; empty when it can
    };
    std::optional<Outcome> apply(Board& board, bool undo);
    void push(Step step);
    void tell() const;

    ShownValue shown_;
    std::size_t depth_;
    std::deque<Step> undo_;
    std::deque<Step> redo_;
    // The action being recorded (the link holds it until it ends).
    const UserAction* action_ = nullptr;
    std::vector<RegisterChange> changes_;
    bool otherWrites_ = false;
    bool wrote_ = false;
};

} // namespace korva
