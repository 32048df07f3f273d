// The write log: every write sent to the board (AFE and FPGA registers, multiplexer,
// sync separator, ports, EEPROM), with its time, what the chip read back where the action
// reads back, and the user action it belongs to; bounded in memory; and its replay as a
// korva726ctl script or as a Python script on the korva726 module.
//
// It listens to the command link (CommandLink::setObserver), which also tells it where the
// user actions begin and end: the writes are taken from the packets that really went out,
// so nothing the board received is left out. A read of a register that the current action
// wrote (the read-back of a write, or the Read All that follows a load or a mode set-up)
// fills in that write's read-back.
#pragma once

#include "device/exchange.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korva {

struct LoggedWrite {
    std::chrono::system_clock::time_point time;
    std::shared_ptr<const std::string> action; // the user action; shared by its writes
    std::uint8_t opcode = 0;
    // The argument bytes after the opcode: register and value, channel, mode, port value,
    // EEPROM address high and low and value, or the burst write's device, start and count.
    std::array<std::uint8_t, 3> args{};
    std::vector<std::uint8_t> data; // a burst write's values
    std::optional<std::uint8_t> readBack;
    bool completed = true; // the exchange's reply came (false: the board failed on it)

    // "WriteByte_AFE 0x06 ← 0x80" (and ", read back 0x80").
    std::string describe() const;
};

class WriteLog : public ExchangeObserver {
  public:
    static constexpr std::size_t kDefaultCapacity = 100000;
    explicit WriteLog(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

    void exchanged(const Packet& command, const ExchangeResult& result) override;
    // The link's user actions (ActionScope; the link folds nested ones into the outer one)
    // are the log's. The action's text is copied with its first write: an action that
    // writes nothing costs nothing.
    void actionBegun(const UserAction& action) override;
    void actionEnded() override;

    const std::deque<LoggedWrite>& entries() const { return entries_; }
    // Writes dropped from the front to keep within the capacity.
    std::uint64_t dropped() const { return dropped_; }
    void clear();
    // Told after each change of the entries (the window's list follows it).
    std::function<void()> changed;

    // The entries as a `korva726ctl run` script, and as a Python script on the korva726
    // module. `title` goes into the first comment line. Writes that a replay cannot or need
    // not make (to a read-only register) are kept as comments.
    std::string toScript(const std::string& title) const;
    std::string toPython(const std::string& title) const;

  private:
    std::size_t capacity_;
    std::deque<LoggedWrite> entries_;
    std::uint64_t dropped_ = 0;

    std::shared_ptr<const std::string> action_;
    const std::string* text_ = nullptr; // the link's action, until its first write
    std::size_t actionStart_ = 0;       // entries_ index where the current action began
};

} // namespace korva
