// Mode table reader and mode line checks: every line the reader keeps passes the checks,
// and a line that passes them splits into counts that fit the registers (a count is rounded
// before it is split, so -0.4 passes as 0).
#include "device/textnum.h"
#include "video/mode_table.h"

#include <cstdlib>
#include <string_view>

using namespace korva;

namespace {

void checkLine(std::string_view line) {
    if (!ModeLineProblem(line).empty()) return;
    const auto mode = ParseModeLine(line);
    if (!mode) std::abort();
    for (double v : {mode->hStart, mode->hStop, mode->vStart, mode->vStop, mode->pllHtotal})
        if (!SplitWord(v)) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkLine(text);
    const ModeTable table = ParseModeTable(text);
    if (table.lines.size() > static_cast<std::size_t>(kMaxModes)) std::abort();
    for (const auto& line : table.lines) {
        if (!ModeLineProblem(line).empty()) std::abort();
        checkLine(line);
    }
    return 0;
}
