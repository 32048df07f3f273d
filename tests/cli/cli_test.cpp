// korva726ctl as a script sees it: the real program run against its simulated board, with
// its exit status, its output and the exact packets of its --capture file.
#include "afe/dump_file.h"
#include "afe/widgets/register_panels.h"
#include "device/textnum.h"
#include "support/form_rig.h"
#include "support/hex_packets.h"
#include "support/pcap_reader.h"
#include "support/temp_dir.h"

#include <QPushButton>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <numeric>
#include <optional>

using namespace korva;
using namespace korva::test;
using namespace std::string_literals;

namespace {

using Sent = std::vector<std::pair<int, Bytes>>;

// clang-format off
// Command packets on pipe 0x02, written as hexPackets() reads them.
Sent commands(const char* hex) { Sent s; for (Bytes& p : hexPackets(hex)) s.emplace_back(0x02, std::move(p)); return s; }
// The bytes 0, 1, 2, ... 95 then zeros up to n.
Bytes bits(std::size_t n) { Bytes b(n, 0); std::iota(b.begin(), b.begin() + 96, 0); return b; }
struct Result { int exit = -1; std::string out, err; Sent sent = {}; };
// clang-format on

// A folder with a mode table, a 96-byte bitstream and dump files; each run works in it.
// Beside them: a folder whose mode table has no usable mode, and one for a copy of the
// program with a Config.ini of bad USB identifiers.
struct Bench : TempDir {
    Bench() {
        writeFile(path / "mode_table.dat",
                  std::string("Test modes\r\n\r\nNumber of modes: 03\r\nMode Z,100,200,10,20,300;"
                              "first\r\nMode A,230,1382,41,1065,1500;any note\r\n"
                              "Mode #1,1,2,3,4,5;a hash in its name\r\n"));
        std::filesystem::create_directories(path / "empty");
        writeFile(path / "empty/mode_table.dat",
                  std::string("x\r\ny\r\nmodes: 02\r\nno commas\r\n"));
        std::filesystem::create_directories(path / "bin");
        writeFile(path / "bin/Config.ini", std::string("[USB]\nVendorID=zz\nProductID=12345\n"));
        writeFile(path / "bit96.bin", bits(96));
        RegisterTexts texts; // as saved before any read, but for one register
        texts[0x10] = "5A";
        std::string dump = FormatDump(texts, false);
        writeFile(path / "one.txt", dump);
        writeFile(path / "bad.txt",
                  dump.replace(dump.find("SOG Slicer (0x04): 0x"), 21, "SOG Slicer (0x04) 0x"));
        texts = DumpTexts(SimBoard::kAfePowerOn); // the board as it starts, but for 0x20
        texts[0x20].clear();
        writeFile(path / "same.txt", FormatDump(texts, false));
        texts[0x06] = "7F";
        writeFile(path / "cmp.txt", FormatDump(texts, false));
    }
    // Runs korva726ctl with `args` (shell words) in the folder, the simulated board and a
    // capture added unless asked otherwise; `shell` runs first, with the program in $K.
    // The capture is read back when asked.
    Result run(const std::string& args, const std::string& input = "", bool sim = true,
               const std::string& shell = "", bool readBack = true) {
        const std::string dir = "'" + path.string() + "/";
        std::filesystem::remove(path / "c.pcap");
        writeFile(path / "in.txt", input);
        const std::string line =
            "cd " + dir + "' && K='" KORVA726CTL "' && " + shell + " \"$K\" " +
            (sim ? "--simulate " : "") +
            (args.find("--capture") == std::string::npos ? "--capture " + dir + "c.pcap' " : "") +
            args + " <" + dir + "in.txt' >" + dir + "out.txt' 2>" + dir + "err.txt'";
        const int status = std::system(line.c_str());
        Result r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(path / "out.txt"),
                 slurp(path / "err.txt")};
        if (readBack && std::filesystem::exists(path / "c.pcap"))
            r.sent = sentData(*this / "c.pcap");
        return r;
    }
};

} // namespace

// Each command sends its exact packets (none for bad input or a refusal; not checked where
// the operation's own tests do), prints its output and exits with its documented status,
// with one line of error.
TEST(Korva726ctl, CommandsExitStatusesOutputAndPackets) {
    // Arguments; exit status; text in the one line of standard error; text in standard output
    // ("" at exit 0: nothing printed); the packets sent (nullopt: not checked); standard input;
    // whether the simulated board is used; shell commands run first.
    // clang-format off
    struct Row { std::string args; int exit = 0; const char* err = ""; std::string out = ""; std::optional<Sent> sent = Sent{}; std::string in = ""; bool sim = true; const char* shell = ""; };
    const Bytes padded = bits(192); // 96 bytes: 1.5 rounds to 2, plus one packet
    const Sent download = {{5, {0}}, {5, Bytes(&padded[0], &padded[64])}, {5, Bytes(&padded[64], &padded[128])}, {5, Bytes(&padded[128], &padded[0] + 192)}};
    const Row rows[] = {
        // AFE registers, with i2c-tools' conventions.
        {"set 0x06 0x80", 0, "", "", commands("230680 034C0601")},
        {"set 6 128 --verbose", 0, "", "Value 0x80 written, readback matched", {}},
        {"set 0x00 0x12", 3, "Warning - data mismatch - wrote 0x12, read back 0x31", "", {}},
        {"set 0x07 040 --gang", 0, "", "", commands("230620 230720 230820 034C0601 034C0701 034C0801")},
        {"get 0 3", 0, "", "0x31\n0x0b\n0x00\n", commands("034C0003")},
        {"dump", 0, "", "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n"
                        "00: 31 0b 00 40 40 00 80 80 80 40 40 40 00 09 03 20    1?.@@.???@@@.?? \n", commands("034C0040 034C4002")},
        {"dump --format file", 0, "", "//\r\nID and Revision (0x00) : 0x31\r\n", {}},
        {"--json get 0x41", 0, "", R"({"registers":[{"address":65,"address_hex":"0x41","value":0,"value_hex":"0x00"}]})", {}},
        // Video set-up: the dialog's sequence, the DE window, the converter, FPGA registers.
        {"mode list", 0, "", "Mode Z\nMode A\n"},
        {"mode apply 'Mode A' --input 'Component 2' --csc", 0, "", "",
         commands("2F1C00 2F1DE6 2F1E05 2F1F66 2F2000 2F2129 2F2204 2F2329 230E05 230FDC 23050D 2802 2500 2F1B21")},
        {"de set 256 1382 41 1065", 0, "", "", commands("2F1C01 2F1D00 2F1E05 2F1F66 2F2000 2F2129 2F2204 2F2329")},
        {"de get", 0, "", "0 0 0 0\n", {}},
        {"csc on", 0, "", "", commands("2F1B21")},
        {"fpga set 0x1c 0x7f", 0, "", "", commands("2F1C7F")},
        {"fpga get 0x1c", 0, "", "0x00\n", commands("2E1C")},
        {"fpga dump", 0, "", "\n20: 00 00 00 00 00 ", {}},
        // Board controls: the multiplexer, the sync separator, the ports, the EEPROM.
        {"mux 2", 0, "", "", commands("2802")},
        {"sync 3", 0, "", "", commands("2503")},
        {"port a 0x0f", 0, "", "", commands("300F")},
        {"port B 255", 0, "", "", commands("40FF")},
        {"port e 0", 0, "", "", commands("7000")},
        {"eeprom set -y 0x10 0x5a", 0, "", "", commands("8000105A")},
        {"eeprom set 0 0", 1, "EEPROM write not confirmed"}, // end of input
        {"run", 1, "line 1: eeprom set in a script needs -y", "", Sent{}, "eeprom set 0 0\n"},
        {"mux 4", 1, "channel 4 is outside 0..3"},
        {"sync -1", 1, "sync mode -1 is outside 0..3"},
        {"port c 1", 1, "unknown port \"c\" (a, b or e)"},
        {"eeprom set -y 256 0", 1, "EEPROM address 256 is outside 0x00..0xff"},
        // Files and the bitstream.
        {"load one.txt", 0, "one.txt: 65 registers were left as they were", "", commands("23105A")},
        {"load bad.txt", 2, "bad.txt: line 7 (register 0x04): it has no \": 0x\" before a register value; no register was written"},
        {"load missing.txt", 2, "missing.txt: the file does not exist"},
        {"compare same.txt", 0, "same.txt: 1 register was not compared: its line holds no value", "", commands("034C0040 034C4002")},
        {"compare cmp.txt", 3, "1 register differs from cmp.txt; 1 register was not compared", "0x06: board 0x80, file 0x7f\n", commands("034C0040 034C4002")},
        {"--json compare cmp.txt", 3, "", R"({"compared":65,"differences":[{"address":6,"address_hex":"0x06","board":128,"board_hex":"0x80","file":127,"file_hex":"0x7f"}],"file":"cmp.txt","match":false,"not_compared":[32]})", {}},
        {"compare missing.txt", 2, "missing.txt: the file does not exist; nothing was read"},
        {"save no/such/folder/s.txt", 2, "the file was not changed", "", {}},
        {"download -y bit96.bin", 0, "", "", download},
        {"download bit96.bin", 0, "Continue? [Y/n] \n", "", {}, "y\n"}, // the prompt's line ended
        {"-y download bit96.bin", 0, "", "", download}, // -y before the command too
        {"download bit96.bin", 1, "not confirmed", "", Sent{}, "n\n"},
        {"download bit96.bin", 1, "not confirmed"}, // end of input
        {"download -y gone.bin", 2, "gone.bin: no such file"},
        // A script in one process: the board keeps its state; the first failure stops it.
        {"run", 1, "line 7: register 0x50 is outside 0x00..0x41", "0x42\n0x05\n", commands("230642 034C0601 034C0601 2F1C05 2E1C"),
         "set 6 0x42\nget 6 # the red gain\n\n# a comment line\nfpga set 0x1c 5\nfpga get 0x1c\nset 0x50 1\nget 7\n"},
        {"run", 1, "line 1: download in a script needs -y", "", Sent{}, "download bit96.bin\n"},
        // Script lines as a shell reads them: '#' in quotes, a byte-order mark, CR LF; a line
        // with a control character, an unclosed quote or a length past the limit is refused.
        {"run", 0, "", "0x31\n", commands("2F1C00 2F1D01 2F1E00 2F1F02 2F2000 2F2103 2F2200 2F2304 230E00 230F05 230500 034C0001"),
         "\xEF\xBB\xBF mode apply \"Mode #1\" --input 'VGA 1' # a comment\r\nget 0 # \"\n"},
        {"run", 1, "line 2: byte \\x00 at column 13 is a control character", "", commands("034C0001"), "get 0\nset 0x06 0x1\0002\nget 1\n"s},
        {"run", 1, "line 1: the quote \" is not closed", "", Sent{}, "load \"one.txt\n"},
        {"run", 1, "line 1: longer than 65536 bytes", "", Sent{}, "get " + std::string(70000, '0') + "\n"},
        {"run .", 2, ".: is a directory"},
        {"--json run", 0, "Usage: korva726ctl get", "", Sent{}, "get --help\n"}, // help not on standard output
        // Bad input.
        {"get 0x42", 1, "register 0x42 is outside 0x00..0x41"},
        {"get 0x40 3", 1, "count 3 is outside 1..2"},
        {"get zz", 1, "register \"zz\" is not a number"},
        {"get 0x0000000000000000000000000000001z", 1, "register \"0x000000000000000000...\" is not a number"},
        {"get \"$(printf '\\377\\001')\"", 1, "register \"\\xff\\x01\" is not a number"},
        {"get 1 2 3 4", 1, "the arguments \"3\" \"4\" were not expected"},
        {"--capture", 1, "--capture: 1 required FILE missing", "", {}},
        {"set 6 0x100", 1, "value 0x100 is outside 0x00..0xff"},
        {"set 0x10 1 --gang", 1, "--gang needs a gain register"},
        {"fpga set 256 0", 1, "FPGA register 256 is outside 0x00..0xff"},
        {"de set 1 2 3 65536", 1, "VSTOP 65536 is outside 0..65535"},
        {"frobnicate", 1, "unknown command \"frobnicate\""},
        {"mode apply Nope --input vga1", 1, "no mode \"Nope\""},
        {"mode apply 'Mode A' --input hdmi", 1, "unknown input \"hdmi\""},
        {"--device 1-2 get 6", 1, "cannot go with --simulate"},
        // No board, no capture file, no usable mode, a capture that fails on the way; bad USB
        // identifiers only matter for a USB board.
        {"get 6", 2, "KORVA726EVAL board", "", Sent{}, "", false},
        {"--capture /nonexistent-korva/c.pcap get 6", 2, "cannot write capture file"},
        {"mode list", 2, "mode_table.dat: it holds no usable mode", "", Sent{}, "", true, "cd empty &&"},
        {"dump", 2, "writing capture file", "", {}, "", true, "trap '' XFSZ; ulimit -f 1;"},
        {"get 0", 0, "", "0x31\n", commands("034C0001"), "", true, "cp \"$K\" bin/ && K=bin/korva726ctl &&"},
    };
    // clang-format on
    Bench bench;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args);
        const Result r = bench.run(row.args, row.in, row.sim, row.shell, row.sent.has_value());
        // clang-format off
        EXPECT_EQ(r.exit, row.exit) << r.err;
        EXPECT_TRUE(row.exit == 0 && row.out.empty() ? r.out.empty() : r.out.find(row.out) != r.out.npos) << r.out;
        // One line of error, after any question; nothing on standard error on a quiet success.
        const bool oneLine = r.err.find("korva726ctl: ") != r.err.npos && r.err.find("korva726ctl: ") == r.err.rfind("korva726ctl: ");
        EXPECT_TRUE(r.err.find(row.err) != r.err.npos && (row.exit ? oneLine : *row.err || r.err.empty())) << r.err;
        // clang-format on
        EXPECT_EQ(r.sent, row.sent.value_or(r.sent));
    }
}

// SIGINT and SIGTERM while a script waits for its next line through a pipe: the tool ends at
// once with 128 + the signal, and its capture holds every exchange answered, whole.
TEST(Korva726ctl, AStopSignalEndsAScriptWithAWholeCapture) {
    Bench bench;
    for (const auto& [signal, exit] : {std::pair(SIGINT, 130), std::pair(SIGTERM, 143)}) {
        SCOPED_TRACE(signal);
        int in[2], out[2];
        ASSERT_EQ(::pipe(in) | ::pipe(out), 0);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_adddup2(&files, in[0], 0);
        posix_spawn_file_actions_adddup2(&files, out[1], 1);
        posix_spawn_file_actions_addopen(&files, 2, (bench / "err.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (const int fd : {in[0], in[1], out[0], out[1]})
            posix_spawn_file_actions_addclose(&files, fd);
        const std::string capture = bench / "s.pcap";
        const char* argv[] = {KORVA726CTL, "--simulate", "--capture", capture.c_str(),
                              "run",       "-",          nullptr};
        pid_t pid = 0;
        ASSERT_EQ(
            posix_spawn(&pid, KORVA726CTL, &files, nullptr, const_cast<char**>(argv), environ), 0);
        posix_spawn_file_actions_destroy(&files);
        ::close(in[0]);
        ::close(out[1]);
        std::FILE* answers = ::fdopen(out[0], "r");
        char answer[16] = "";
        constexpr int kLines = 5;
        for (int i = 0; i < kLines; ++i) { // each line answered before the next is sent
            ASSERT_EQ(::write(in[1], "get 0x00 1\n", 11), 11);
            ASSERT_NE(std::fgets(answer, sizeof answer, answers), nullptr);
            EXPECT_STREQ(answer, "0x31\n");
        }
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(in[1]);
        std::fclose(answers);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, exit);
        EXPECT_NE(slurp(bench / "err.txt").find("stopped by SIG"), std::string::npos);
        // The device descriptor exchange, then a submission and a completion each.
        EXPECT_EQ(readCapture(capture).size(), 2u + 4u * kLines);
        EXPECT_EQ(sentData(capture), commands("034C0001 034C0001 034C0001 034C0001 034C0001"));
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

    std::string all; // every register written with its value
    for (int a = 0; a < kAfeRegisterCount; ++a)
        all += "23" + HexByte(std::uint8_t(a)) + HexByte(SimBoard::kAfePowerOn[a]) + " ";
    EXPECT_EQ(bench.run("load w.txt").sent, commands(all.c_str()));
    window.sim.clearLog();
    window.prompts.fileAnswers.push_back(QString::fromStdString(bench / "c.txt"));
    window.form->nFileLoadRegisterFrom_Click();
    Packets loaded = window.sent();
    ASSERT_EQ(loaded.size(), kAfeRegisterCount + 2u); // then the window reads all registers back
    EXPECT_EQ(Packets(loaded.begin(), loaded.begin() + kAfeRegisterCount), hexPackets(all));
    EXPECT_TRUE(window.prompts.messages.empty());
}
