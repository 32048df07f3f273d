// korva726ctl as a script sees it: the real program run against its simulated board, with
// its exit status, its output and the exact packets of its --capture file.
#include "afe/dump_file.h"
#include "afe/register_panels.h"
#include "support/form_rig.h"
#include "support/pcap_reader.h"

#include <QPushButton>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace korva;
using namespace korva::test;
namespace fs = std::filesystem;

namespace {

using Sent = std::vector<std::pair<int, Bytes>>;

std::pair<int, Bytes> cmd(std::initializer_list<std::uint8_t> head) {
    return {0x02, packet(head)};
}

Sent concat(std::initializer_list<Sent> parts) {
    Sent all;
    for (const Sent& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
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

std::string slurp(const fs::path& path) {
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

struct Result {
    int exit = -1;
    std::string out, err;
    Sent sent;
};

// A folder with a mode table, a bitstream and dump files; each run works in it.
struct Bench {
    fs::path dir = fs::temp_directory_path() / ("korva-ctl-" + std::to_string(::getpid()));

    Bench() {
        fs::create_directories(dir);
        std::ofstream(dir / "mode_table.dat", std::ios::binary)
            << "Test modes\r\n\r\nNumber of modes: 02\r\nMode Z,100,200,10,20,300;first\r\n"
               "Mode A,230,1382,41,1065,1500;any note\r\n";
        std::string bits;
        for (int i = 0; i < 96; ++i)
            bits += char(i);
        std::ofstream(dir / "bit96.bin", std::ios::binary) << bits;
        RegisterTexts texts; // as saved before any read, but for one register
        texts[0x10] = "5A";
        const std::string one = FormatDump(texts, false);
        std::ofstream(dir / "one.txt", std::ios::binary) << one;
        std::string bad = one;
        bad.replace(bad.find("SOG Slicer (0x04): 0x"), 21, "SOG Slicer (0x04) 0x");
        std::ofstream(dir / "bad.txt", std::ios::binary) << bad;
    }
    ~Bench() { fs::remove_all(dir); }

    // Runs korva726ctl with `args` (shell words) in the folder, the simulated board and a
    // capture added unless asked otherwise.
    Result run(const std::string& args, const std::string& input = "", bool sim = true) {
        const fs::path capture = dir / "c.pcap";
        fs::remove(capture);
        std::ofstream(dir / "in.txt") << input;
        const std::string line =
            "cd '" + dir.string() + "' && '" KORVA726CTL "' " + (sim ? "--simulate " : "") +
            (args.find("--capture") == std::string::npos ? "--capture c.pcap " : "") + args +
            " <in.txt >out.txt 2>err.txt";
        const int status = std::system(line.c_str());
        Result r{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                 slurp(dir / "out.txt"),
                 slurp(dir / "err.txt"),
                 {}};
        if (fs::exists(capture)) r.sent = sentData(capture.string());
        return r;
    }
};

} // namespace

TEST(Korva726ctl, CommandsExitStatusesOutputAndPackets) {
    struct Row {
        const char* args;
        const char* in = "";
        int exit = 0;
        std::string out = ""; // contained in standard output; "" at exit 0: nothing printed
        const char* err = ""; // contained in the one line of standard error
        Sent sent = {};
        bool sim = true;
    };
    const Sent setRed = {cmd({0x23, 0x06, 0x80}), cmd({0x03, 0x4C, 0x06, 0x01})};
    std::vector<std::uint8_t> chunk(64);
    Sent download = {{0x05, {0x00}}};
    for (int i = 0; i < 3; ++i) { // 96 bytes: 1.5 rounds to 2, plus one packet
        for (int k = 0; k < 64; ++k)
            chunk[k] = 64 * i + k < 96 ? std::uint8_t(64 * i + k) : 0;
        download.emplace_back(0x05, chunk);
    }
    const Row rows[] = {
        // AFE registers, with i2c-tools' conventions.
        {.args = "set 0x06 0x80", .sent = setRed},
        {.args = "set 6 128 --verbose",
         .out = "Value 0x80 written, readback matched",
         .sent = setRed},
        {.args = "set 0x00 0x12",
         .exit = 3,
         .err = "Warning - data mismatch - wrote 0x12, read back 0x31",
         .sent = {cmd({0x23, 0x00, 0x12}), cmd({0x03, 0x4C, 0x00, 0x01})}},
        {.args = "set 0x07 040 --gang",
         .sent =
             concat({writes(0x23, 6, {0x20, 0x20, 0x20}),
                     {cmd({0x03, 0x4C, 6, 1}), cmd({0x03, 0x4C, 7, 1}), cmd({0x03, 0x4C, 8, 1})}})},
        {.args = "get 0x06", .out = "0x80\n", .sent = {cmd({0x03, 0x4C, 0x06, 0x01})}},
        {.args = "get 0 3", .out = "0x31\n0x0b\n0x00\n", .sent = {cmd({0x03, 0x4C, 0, 3})}},
        {.args = "dump",
         .out = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n"
                "00: 31 0b 00 40 40 00 80 80 80 40 40 40 00 09 03 20    1?.@@.???@@@.?? \n",
         .sent = kReadAll},
        {.args = "dump", .out = "\n40: 1c 00" + std::string(46, ' ') + "?.", .sent = kReadAll},
        {.args = "dump --format file",
         .out = "//\r\nID and Revision (0x00) : 0x31\r\n",
         .sent = kReadAll},
        {.args = "--json get 0x41",
         .out =
             R"({"registers":[{"address":65,"address_hex":"0x41","value":0,"value_hex":"0x00"}]})",
         .sent = {cmd({0x03, 0x4C, 0x41, 0x01})}},
        // Video set-up: the dialog's sequence, the DE window, the converter, FPGA registers.
        {.args = "mode list", .out = "Mode Z\nMode A\n"},
        {.args = "mode apply 'Mode A' --input 'Component 2' --csc",
         .sent = concat({writes(0x2F, 0x1C, {0x00, 0xE6, 0x05, 0x66, 0x00, 0x29, 0x04, 0x29}),
                         {cmd({0x23, 0x0E, 0x05}), cmd({0x23, 0x0F, 0xDC}), cmd({0x23, 0x05, 0x0D}),
                          cmd({0x28, 0x02}), cmd({0x25, 0x00}), cmd({0x2F, 0x1B, 0x21})}})},
        {.args = "mode apply 'Mode Z' --input vga1",
         .sent =
             concat({writes(0x2F, 0x1C, {0, 100, 0, 200, 0, 10, 0, 20}),
                     {cmd({0x23, 0x0E, 0x01}), cmd({0x23, 0x0F, 0x2C}), cmd({0x23, 0x05, 0})}})},
        {.args = "de set 256 1382 41 1065",
         .sent = writes(0x2F, 0x1C, {0x01, 0x00, 0x05, 0x66, 0x00, 0x29, 0x04, 0x29})},
        {.args = "de get", .out = "0 0 0 0\n", .sent = reads(0x2E, 0x1C, 8)},
        {.args = "csc on", .sent = {cmd({0x2F, 0x1B, 0x21})}},
        {.args = "csc off", .sent = {cmd({0x2F, 0x1B, 0x01})}},
        {.args = "fpga set 0x1c 0x7f", .sent = {cmd({0x2F, 0x1C, 0x7F})}},
        {.args = "fpga get 0x1c", .out = "0x00\n", .sent = {cmd({0x2E, 0x1C})}},
        {.args = "fpga dump", .out = "\n20: 00 00 00 00 00 ", .sent = reads(0x2E, 0, 37)},
        // Files and the bitstream.
        {.args = "load one.txt",
         .err = "one.txt: 65 registers were left as they were",
         .sent = {cmd({0x23, 0x10, 0x5A})}},
        {.args = "load bad.txt",
         .exit = 2,
         .err = "bad.txt: line 7 (register 0x04): it has no \": 0x\" before a register value; "
                "no register was written"},
        {.args = "load missing.txt", .exit = 2, .err = "missing.txt: the file does not exist"},
        {.args = "save no/such/folder/s.txt",
         .exit = 2,
         .err = "the file was not changed",
         .sent = kReadAll},
        {.args = "download -y bit96.bin", .sent = download},
        {.args = "download bit96.bin", .in = "\n", .err = "Continue? [Y/n]", .sent = download},
        {.args = "download bit96.bin", .in = "n\n", .exit = 1, .err = "not confirmed"},
        {.args = "download bit96.bin", .exit = 1, .err = "not confirmed"}, // end of input
        {.args = "download -y gone.bin", .exit = 2, .err = "gone.bin: no such file"},
        // A script in one process: the board keeps its state; the first failure stops it.
        {.args = "run",
         .in = "set 6 0x42\nget 6 # the red gain\n\n# a comment line\nfpga set 0x1c 5\n"
               "fpga get 0x1c\nset 0x50 1\nget 7\n",
         .exit = 1,
         .out = "0x42\n0x05\n",
         .err = "line 7: register 0x50 is outside 0x00..0x41",
         .sent = {cmd({0x23, 6, 0x42}), cmd({0x03, 0x4C, 6, 1}), cmd({0x03, 0x4C, 6, 1}),
                  cmd({0x2F, 0x1C, 5}), cmd({0x2E, 0x1C})}},
        {.args = "run",
         .in = "download bit96.bin\n",
         .exit = 1,
         .err = "line 1: download in a "
                "script needs -y"},
        // Bad input: one line, status 1, nothing on the wire.
        {.args = "get 0x42", .exit = 1, .err = "register 0x42 is outside 0x00..0x41"},
        {.args = "get 0x40 3", .exit = 1, .err = "count 3 is outside 1..2"},
        {.args = "get zz", .exit = 1, .err = "register \"zz\" is not a number"},
        {.args = "set 6 0x100", .exit = 1, .err = "value 0x100 is outside 0x00..0xff"},
        {.args = "set 0x10 1 --gang", .exit = 1, .err = "--gang needs a gain register"},
        {.args = "fpga set 256 0", .exit = 1, .err = "FPGA register 256 is outside 0x00..0xff"},
        {.args = "de set 1 2 3 65536", .exit = 1, .err = "VSTOP 65536 is outside 0..65535"},
        {.args = "csc maybe", .exit = 1, .err = "maybe"},
        {.args = "frobnicate", .exit = 1, .err = "unknown command \"frobnicate\""},
        {.args = "fpga", .exit = 1, .err = "\"fpga\" needs a command"},
        {.args = "mode apply Nope --input vga1", .exit = 1, .err = "no mode \"Nope\""},
        {.args = "mode apply 'Mode A' --input hdmi", .exit = 1, .err = "unknown input \"hdmi\""},
        {.args = "--device 1-2 get 6", .exit = 1, .err = "cannot go with --simulate"},
        // No board, no capture file.
        {.args = "get 6", .exit = 2, .err = "KORVA726EVAL board", .sim = false},
        {.args = "--capture /nonexistent-korva/c.pcap get 6",
         .exit = 2,
         .err = "cannot write capture file"},
    };
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
    window.prompts.fileAnswers.push_back(QString::fromStdString((bench.dir / "w.txt").string()));
    window.form->nFileSaveRegisterAs_Click();
    ASSERT_EQ(bench.run("save c.txt").exit, 0);
    const std::string saved = slurp(bench.dir / "c.txt");
    EXPECT_EQ(saved, slurp(bench.dir / "w.txt"));

    Sent all;
    for (int a = 0; a < kAfeRegisterCount; ++a)
        all.push_back(cmd({0x23, std::uint8_t(a), SimBoard::kAfePowerOn[a]}));
    EXPECT_EQ(bench.run("load w.txt").sent, all);
    window.sim.clearLog();
    window.prompts.fileAnswers.push_back(QString::fromStdString((bench.dir / "c.txt").string()));
    window.form->nFileLoadRegisterFrom_Click();
    const Packets loaded = window.sent();
    ASSERT_EQ(loaded.size(), all.size() + 2); // then the window reads all registers back
    for (std::size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(loaded[i], all[i].second);
    EXPECT_TRUE(window.prompts.messages.empty());
}
