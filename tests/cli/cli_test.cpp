// korva726ctl as a script sees it: the real program run against its simulated board, with
// its exit status, its output and the exact packets of its --capture file.
#include "afe/dump_file.h"
#include "afe/register_panels.h"
#include "support/form_rig.h"
#include "support/pcap_reader.h"
#include "support/temp_dir.h"

#include <QPushButton>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <numeric>

using namespace korva;
using namespace korva::test;

namespace {

using Sent = std::vector<std::pair<int, Bytes>>;

std::pair<int, Bytes> cmd(std::initializer_list<std::uint8_t> head) {
    return {0x02, packet(head)};
}
Sent operator+(Sent a, const Sent& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// One read of each register from `first`, with the given opcode.
Sent reads(std::uint8_t opcode, int first, int count) {
    Sent s;
    for (int a = first; a < first + count; ++a)
        s.push_back(cmd({opcode, std::uint8_t(a)}));
    return s;
}
// Writes of consecutive registers from `first`, with the given opcode.
Sent writes(std::uint8_t opcode, int first, std::initializer_list<std::uint8_t> values) {
    Sent s;
    for (std::uint8_t v : values)
        s.push_back(cmd({opcode, std::uint8_t(first++), v}));
    return s;
}
const Sent kReadAll = {cmd({0x03, 0x4C, 0x00, 0x40}), cmd({0x03, 0x4C, 0x40, 0x02})};

Bytes bits(std::size_t n) { // the bytes 0, 1, 2, ... then zeros up to n
    Bytes b(n, 0);
    std::iota(b.begin(), b.begin() + std::min<std::size_t>(n, 96), 0);
    return b;
}

struct Result {
    int exit = -1;
    std::string out, err;
    Sent sent;
};

// A folder with a mode table, a 96-byte bitstream and dump files; each run works in it.
struct Bench : TempDir {
    Bench() {
        writeFile(path / "mode_table.dat",
                  std::string("Test modes\r\n\r\nNumber of modes: 02\r\nMode Z,100,200,10,20,300;"
                              "first\r\nMode A,230,1382,41,1065,1500;any note\r\n"));
        writeFile(path / "bit96.bin", bits(96));
        RegisterTexts texts; // as saved before any read, but for one register
        texts[0x10] = "5A";
        std::string dump = FormatDump(texts, false);
        writeFile(path / "one.txt", dump);
        writeFile(path / "bad.txt",
                  dump.replace(dump.find("SOG Slicer (0x04): 0x"), 21, "SOG Slicer (0x04) 0x"));
    }
    // Runs korva726ctl with `args` (shell words) in the folder, the simulated board and a
    // capture added unless asked otherwise.
    Result run(const std::string& args, const std::string& input = "", bool sim = true) {
        std::filesystem::remove(path / "c.pcap");
        writeFile(path / "in.txt", input);
        const std::string line =
            "cd '" + path.string() + "' && '" KORVA726CTL "' " + (sim ? "--simulate " : "") +
            (args.find("--capture") == std::string::npos ? "--capture c.pcap " : "") + args +
            " <in.txt >out.txt 2>err.txt";
        const int status = std::system(line.c_str());
        Result r{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                 slurp(path / "out.txt"),
                 slurp(path / "err.txt"),
                 {}};
        if (std::filesystem::exists(path / "c.pcap")) r.sent = sentData(*this / "c.pcap");
        return r;
    }
};

} // namespace

TEST(Korva726ctl, CommandsExitStatusesOutputAndPackets) {
    struct Row {
        const char* args;
        int exit = 0;
        const char* err = ""; // contained in the one line of standard error
        std::string out = ""; // contained in standard output; "" at exit 0: nothing printed
        Sent sent = {};
        const char* in = "";
        bool sim = true;
    };
    const Sent setRed = {cmd({0x23, 0x06, 0x80}), cmd({0x03, 0x4C, 0x06, 0x01})};
    const Bytes padded = bits(192); // 96 bytes: 1.5 rounds to 2, plus one packet
    Sent download = {{0x05, {0x00}}};
    for (auto at = padded.begin(); at != padded.end(); at += 64)
        download.emplace_back(0x05, Bytes(at, at + 64));
    // clang-format off
    const Row rows[] = {
        // AFE registers, with i2c-tools' conventions.
        {"set 0x06 0x80", 0, "", "", setRed},
        {"set 6 128 --verbose", 0, "", "Value 0x80 written, readback matched", setRed},
        {"set 0x00 0x12", 3, "Warning - data mismatch - wrote 0x12, read back 0x31", "",
         {cmd({0x23, 0x00, 0x12}), cmd({0x03, 0x4C, 0x00, 0x01})}},
        {"set 0x07 040 --gang", 0, "", "", writes(0x23, 6, {0x20, 0x20, 0x20}) +
         Sent{cmd({0x03, 0x4C, 6, 1}), cmd({0x03, 0x4C, 7, 1}), cmd({0x03, 0x4C, 8, 1})}},
        {"get 0x06", 0, "", "0x80\n", {cmd({0x03, 0x4C, 0x06, 0x01})}},
        {"get 0 3", 0, "", "0x31\n0x0b\n0x00\n", {cmd({0x03, 0x4C, 0, 3})}},
        {"dump", 0, "", "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n"
                        "00: 31 0b 00 40 40 00 80 80 80 40 40 40 00 09 03 20    1?.@@.???@@@.?? \n",
         kReadAll},
        {"dump", 0, "", "\n40: 1c 00" + std::string(46, ' ') + "?.", kReadAll},
        {"dump --format file", 0, "", "//\r\nID and Revision (0x00) : 0x31\r\n", kReadAll},
        {"--json get 0x41", 0, "",
         R"({"registers":[{"address":65,"address_hex":"0x41","value":0,"value_hex":"0x00"}]})",
         {cmd({0x03, 0x4C, 0x41, 0x01})}},
        // Video set-up: the dialog's sequence, the DE window, the converter, FPGA registers.
        {"mode list", 0, "", "Mode Z\nMode A\n"},
        {"mode apply 'Mode A' --input 'Component 2' --csc", 0, "", "",
         writes(0x2F, 0x1C, {0x00, 0xE6, 0x05, 0x66, 0x00, 0x29, 0x04, 0x29}) +
         Sent{cmd({0x23, 0x0E, 0x05}), cmd({0x23, 0x0F, 0xDC}), cmd({0x23, 0x05, 0x0D}),
              cmd({0x28, 0x02}), cmd({0x25, 0x00}), cmd({0x2F, 0x1B, 0x21})}},
        {"mode apply 'Mode Z' --input vga1", 0, "", "", writes(0x2F, 0x1C, {0, 100, 0, 200, 0, 10, 0, 20}) +
         Sent{cmd({0x23, 0x0E, 0x01}), cmd({0x23, 0x0F, 0x2C}), cmd({0x23, 0x05, 0})}},
        {"de set 256 1382 41 1065", 0, "", "",
         writes(0x2F, 0x1C, {0x01, 0x00, 0x05, 0x66, 0x00, 0x29, 0x04, 0x29})},
        {"de get", 0, "", "0 0 0 0\n", reads(0x2E, 0x1C, 8)},
        {"csc on", 0, "", "", {cmd({0x2F, 0x1B, 0x21})}},
        {"csc off", 0, "", "", {cmd({0x2F, 0x1B, 0x01})}},
        {"fpga set 0x1c 0x7f", 0, "", "", {cmd({0x2F, 0x1C, 0x7F})}},
        {"fpga get 0x1c", 0, "", "0x00\n", {cmd({0x2E, 0x1C})}},
        {"fpga dump", 0, "", "\n20: 00 00 00 00 00 ", reads(0x2E, 0, 37)},
        // Files and the bitstream.
        {"load one.txt", 0, "one.txt: 65 registers were left as they were", "", {cmd({0x23, 0x10, 0x5A})}},
        {"load bad.txt", 2, "bad.txt: line 7 (register 0x04): it has no \": 0x\" before a register "
                            "value; no register was written"},
        {"load missing.txt", 2, "missing.txt: the file does not exist"},
        {"save no/such/folder/s.txt", 2, "the file was not changed", "", kReadAll},
        {"download -y bit96.bin", 0, "", "", download},
        {"download bit96.bin", 0, "Continue? [Y/n]", "", download, "\n"},
        {"download bit96.bin", 1, "not confirmed", "", {}, "n\n"},
        {"download bit96.bin", 1, "not confirmed"}, // end of input
        {"download -y gone.bin", 2, "gone.bin: no such file"},
        // A script in one process: the board keeps its state; the first failure stops it.
        {"run", 1, "line 7: register 0x50 is outside 0x00..0x41", "0x42\n0x05\n",
         {cmd({0x23, 6, 0x42}), cmd({0x03, 0x4C, 6, 1}), cmd({0x03, 0x4C, 6, 1}),
          cmd({0x2F, 0x1C, 5}), cmd({0x2E, 0x1C})},
         "set 6 0x42\nget 6 # the red gain\n\n# a comment line\nfpga set 0x1c 5\nfpga get 0x1c\n"
         "set 0x50 1\nget 7\n"},
        {"run", 1, "line 1: download in a script needs -y", "", {}, "download bit96.bin\n"},
        // Bad input: one line, status 1, nothing on the wire.
        {"get 0x42", 1, "register 0x42 is outside 0x00..0x41"},
        {"get 0x40 3", 1, "count 3 is outside 1..2"},
        {"get zz", 1, "register \"zz\" is not a number"},
        {"set 6 0x100", 1, "value 0x100 is outside 0x00..0xff"},
        {"set 0x10 1 --gang", 1, "--gang needs a gain register"},
        {"fpga set 256 0", 1, "FPGA register 256 is outside 0x00..0xff"},
        {"de set 1 2 3 65536", 1, "VSTOP 65536 is outside 0..65535"},
        {"csc maybe", 1, "maybe"},
        {"frobnicate", 1, "unknown command \"frobnicate\""},
        {"fpga", 1, "\"fpga\" needs a command"},
        {"mode apply Nope --input vga1", 1, "no mode \"Nope\""},
        {"mode apply 'Mode A' --input hdmi", 1, "unknown input \"hdmi\""},
        {"--device 1-2 get 6", 1, "cannot go with --simulate"},
        // No board, no capture file.
        {"get 6", 2, "KORVA726EVAL board", "", {}, "", false},
        {"--capture /nonexistent-korva/c.pcap get 6", 2, "cannot write capture file"},
    };
    // clang-format on
    Bench bench;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args);
        const Result r = bench.run(row.args, row.in, row.sim);
        EXPECT_EQ(r.exit, row.exit) << r.err;
        EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
        if (row.exit == 0 && row.out.empty()) { // quiet on success
            EXPECT_EQ(r.out, "");
        }
        EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
        const auto at = r.err.find("korva726ctl: "); // one line of error, after any question
        if (row.exit != 0) {
            EXPECT_TRUE(at != r.err.npos && at == r.err.rfind("korva726ctl: ")) << r.err;
        } else if (!*row.err) {
            EXPECT_EQ(r.err, "");
        }
        EXPECT_EQ(r.sent, row.sent);
    }
}

TEST(Korva726ctl, SavesTheWindowsBytesAndEachLoadsTheOthersFile) {
    Bench bench;
    FormRig window;
    ASSERT_TRUE(window.start());
    window.form->panels().ReadAllRegisterButton()->click();
    window.prompts.fileAnswers.push_back(QString::fromStdString(bench / "w.txt"));
    window.form->nFileSaveRegisterAs_Click();
    ASSERT_EQ(bench.run("save c.txt").exit, 0);
    EXPECT_EQ(slurp(bench / "c.txt"), slurp(bench / "w.txt"));

    Sent all;
    for (int a = 0; a < kAfeRegisterCount; ++a)
        all.push_back(cmd({0x23, std::uint8_t(a), SimBoard::kAfePowerOn[a]}));
    EXPECT_EQ(bench.run("load w.txt").sent, all);
    window.sim.clearLog();
    window.prompts.fileAnswers.push_back(QString::fromStdString(bench / "c.txt"));
    window.form->nFileLoadRegisterFrom_Click();
    const Packets loaded = window.sent();
    ASSERT_EQ(loaded.size(), all.size() + 2); // then the window reads all registers back
    for (std::size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(loaded[i], all[i].second);
    EXPECT_TRUE(window.prompts.messages.empty());
}
