// The write log on the command link: which exchanges become entries, which reads fill in
// a write's read-back, the bound on its memory, and the replay lines of each kind of write.
#include "afe/afe_ops.h"
#include "support/board_rig.h"
#include "tools/write_log.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace korva;
using namespace korva::test;

namespace {

struct LogRig : BoardRig {
    WriteLog log;
    LogRig() { link.setObserver(&log); }
    std::vector<std::string> described() const {
        std::vector<std::string> out;
        for (const LoggedWrite& w : log.entries())
            out.push_back((w.action ? *w.action + ": " : "") + w.describe());
        return out;
    }
};

// The lines of a replay script after its two header comments and without its time stamps.
std::vector<std::string> body(const std::string& script, std::size_t skip) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t n = 0; at < script.size(); ++n) {
        const std::size_t end = script.find('\n', at);
        std::string line = script.substr(at, end - at);
        at = end + 1;
        if (n < skip) continue;
        if (line.rfind("# ", 0) == 0 && line.size() > 11 && line[4] == ':' && line[7] == ':')
            line = "# " + line.substr(11); // "# 12:34:56 text" -> "# text"
        else if (line.rfind("    # ", 0) == 0 && line[8] == ':')
            line = "    # " + line.substr(15);
        lines.push_back(line);
    }
    return lines;
}

} // namespace

TEST(WriteLog, RecordsEachWriteWithItsActionAndReadBack) {
    const struct {
        const char* action;
        std::function<void(LogRig&)> run;
        std::vector<std::string> entries;
    } rows[] = {
        {"Red Gain (0x06) stepped up",
         [](LogRig& r) { (void)WriteAfeRegister(r.board, 0x06, 0x81); },
         {"Red Gain (0x06) stepped up: WriteByte_AFE 0x06 \u2190 0x81, read back 0x81"}},
        {"Gain ganged",
         [](LogRig& r) { (void)WriteAfeGanged(r.board, Gang::Gain, 0x90); },
         {"Gain ganged: WriteByte_AFE 0x06 \u2190 0x90, read back 0x90",
          "Gain ganged: WriteByte_AFE 0x07 \u2190 0x90, read back 0x90",
          "Gain ganged: WriteByte_AFE 0x08 \u2190 0x90, read back 0x90"}},
        // A load's Read All gives each write its read-back; a read-only register keeps its own.
        {"Load a.txt",
         [](LogRig& r) {
             DumpValues v{};
             v[0x00] = 0x12, v[0x41] = 0x07;
             (void)WriteDumpValues(r.board, v);
             (void)ReadAllAfeRegisters(r.board);
         },
         {"Load a.txt: WriteByte_AFE 0x00 \u2190 0x12, read back 0x31",
          "Load a.txt: WriteByte_AFE 0x41 \u2190 0x07, read back 0x07"}},
        // Reads outside the action and the other writes: no read-back.
        {nullptr,
         [](LogRig& r) {
             (void)r.board.WriteByte_FPGA(0x1B, 0x21), (void)r.board.TM6185Channel_Select(2);
             (void)r.board.SQ7302Channel_Select(3), (void)r.board.Write_PORTE(0x0F);
             (void)r.board.WriteByte_EEPROM(0x10, 0xFF), (void)r.board.ReadFpga(0x1B);
             (void)r.board.WriteBurstI2C(kAfeI2cAddress, 0x06, 3, "0A0B0C");
         },
         {"WriteByte_FPGA 0x1B \u2190 0x21", "TM6185Channel_Select 2", "SQ7302Channel_Select 3",
          "Write_PORTE 0x0F", "WriteByte_EEPROM 0x10 \u2190 0xFF",
          "WriteBurstI2C 0x4C 0x06 \u2190 0A 0B 0C"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.action ? row.action : "no action");
        LogRig r;
        {
            std::optional<ActionScope> action;
            if (row.action)
                action.emplace(r.link, UserAction{row.action, ActionKind::Registers, {}});
            row.run(r);
        }
        (void)ReadAfeRegister(r.board, 0x06); // after the action: a read-back of nothing
        EXPECT_EQ(r.described(), row.entries);
    }
}

TEST(WriteLog, KeepsTheNewestEntriesWithinItsCapacity) {
    LogRig r;
    WriteLog small(3);
    r.link.setObserver(&small);
    for (int v = 0; v < 5; ++v)
        ASSERT_TRUE(r.board.WriteByte_FPGA(0x30, v));
    ASSERT_EQ(small.entries().size(), 3u);
    EXPECT_EQ(std::tuple(small.entries().front().args[1], small.dropped()), std::tuple(2, 2u));
}

TEST(WriteLog, ReplaysEveryKindOfWriteAsScriptAndPython) {
    LogRig r;
    {
        const ActionScope a(r.link,
                            {"Mode 1024x768@60Hz VESA on Component 1", ActionKind::ModeSetup, {}});
        (void)WriteAfeRegister(r.board, 0x05, 0x0D);
        (void)r.board.TM6185Channel_Select(1), (void)r.board.SQ7302Channel_Select(0);
        (void)r.board.WriteByte_FPGA(0x1B, 0x21);
    }
    {
        const ActionScope a(r.link, {"Load registers.TXT", ActionKind::Registers, {}});
        (void)r.board.WriteByte_AFE(0x01, 0x0B);
    }
    (void)r.board.Write_PORTA(0x3C), (void)r.board.WriteByte_EEPROM(0x20, 0x00);
    (void)r.board.WriteBurstI2C(kAfeI2cAddress, 0x00, 2, "FF80");
    EXPECT_EQ(
        body(r.log.toScript("t"), 2),
        (std::vector<std::string>{
            "# Mode 1024x768@60Hz VESA on Component 1", "set 0x05 0x0d", "mux 1", "sync 0",
            "fpga set 0x1b 0x21", "# Load registers.TXT", "# set 0x01 0x0b  (read-only register)",
            "# Write_PORTA 0x3C", "port a 0x3c", "# WriteByte_EEPROM 0x20 \u2190 0x00",
            "eeprom set -y 0x20 0x00", "# WriteBurstI2C 0x4C 0x00 \u2190 FF 80",
            "# set 0x00 0xff  (read-only register)", "# set 0x01 0x80  (read-only register)"}));
    const std::string python = r.log.toPython("t");
    for (const char* line :
         {"\n    board.afe.write(0x05, 0x0d, verify=False)\n", "\n    board.mux(1)\n",
          "\n    board.sync(0)\n", "\n    board.fpga.write(0x1b, 0x21)\n",
          "\n    board.port(\"a\", 0x3c)\n", "\n    board.eeprom_write(0x20, 0x00)\n",
          "\n    # board.afe.write(0x01, 0x0b, verify=False)  (read-only register)\n"})
        EXPECT_NE(python.find(line), std::string::npos) << line << python;
}

// The link's user actions: one begun inside another is part of it (a DE change within a
// mode set-up), and a write after the outer one ends belongs to none.
TEST(WriteLog, TakesItsActionsFromTheLinkOuterOnly) {
    LogRig r;
    {
        const ActionScope mode(r.link, {"Mode A on VGA 1", ActionKind::ModeSetup, {}});
        {
            const ActionScope de(r.link, {"Vertical DE stop set to 7", ActionKind::Fpga, {}});
            ASSERT_TRUE(r.board.WriteByte_FPGA(0x23, 0x07));
        }
        (void)WriteAfeRegister(r.board, 0x05, 0x00);
    }
    ASSERT_TRUE(r.board.WriteByte_FPGA(0x1B, 0x01));
    EXPECT_EQ(r.described(), (std::vector<std::string>{
                                 "Mode A on VGA 1: WriteByte_FPGA 0x23 \u2190 0x07",
                                 "Mode A on VGA 1: WriteByte_AFE 0x05 \u2190 0x00, read back 0x00",
                                 "WriteByte_FPGA 0x1B \u2190 0x01"}));
}
