// The FPGA's DE window: four counts of 0..65535 (Hstart, Hstop, Vstart, Vstop), each in two
// registers, high byte first, from 0x1C: Hstart 0x1C/0x1D, Hstop 0x1E/0x1F, Vstart
// 0x20/0x21, Vstop 0x22/0x23. The one path to these registers: the DE generator's boxes and
// the mode set-up both write them through here.
#pragma once

#include "device/board.h"
#include "device/textnum.h"
#include "fpga/fpga_ops.h"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace korva {

enum DeCount { kHStart = 0, kHStop = 1, kVStart = 2, kVStop = 3 };
constexpr int kDeCounts = 4;
constexpr int kDeFirstRegister = 0x1C;
using DeWindow = std::array<double, kDeCounts>;

// The register of a count's high byte; its low byte is the next one.
constexpr int DeHighRegister(DeCount which) {
    return kDeFirstRegister + 2 * which;
}

// The eight registers read in address order (2E 1C .. 2E 23); nothing when a read failed.
std::optional<DeWindow> ReadDeWindow(Board& board);
// One count: its high byte, then its low byte. Counts are split as everywhere else
// (SplitWord: a fraction rounds half to even); a count outside 0..65535 is refused with
// std::invalid_argument before anything is sent. False when the link reported a failure.
bool WriteDeCount(Board& board, DeCount which, double value);
// All four counts in register order, 0x1C to 0x23; every count is checked first.
bool WriteDeWindow(Board& board, const DeWindow& window);

// The bytes the DE generator's boxes give a count: zero and negative counts give 0 0;
// nothing for a count beyond 65535, which has no register form.
std::optional<BytePair> DeBoxBytes(double value);

// A count's two bytes written as the FPGA grid's write-on-change rule writes them: each
// byte only where `shown` (what the grid shows for the high and the low register; nothing
// where it shows no value) differs from it, the high register first.
struct DeChange {
    std::vector<FpgaWrite> written; // in the order sent
    bool linkUp = true;             // false: a write failed (reported), the rest not sent
};
DeChange WriteDeCountChanges(Board& board, DeCount which, BytePair bytes,
                             const std::array<std::optional<std::uint8_t>, 2>& shown);

} // namespace korva
