// The window program ended by SIGTERM or SIGINT: in the middle of its work it quits cleanly
// and its capture file holds every transfer made; while a start-up box waits for its OK it
// ends at once, as cleanly. A helper that Qt loads through its testability hook keeps it
// clicking "Read All Registers" and says what it did.
#include "support/pcap_reader.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace {

using korva::test::TempDir;

// The program started from a shell in `dir` (also its runtime folder), with the helper.
struct Program {
    std::FILE* out = nullptr;
    int pid = 0;
    Program(const TempDir& dir, const std::string& program, const std::string& arguments) {
        // The shell says its process id, which the program keeps as it replaces the shell.
        out = ::popen(("cd '" + dir.path.string() +
                       "' && echo $$ && QT_LOAD_TESTABILITY=1 LD_LIBRARY_PATH='" KORVA_HELPER_DIR
                       "' XDG_RUNTIME_DIR='" +
                       dir.path.string() + "' exec '" + program + "' " + arguments)
                          .c_str(),
                      "r");
        if (!out || std::fscanf(out, "%d\n", &pid) != 1) ADD_FAILURE() << "not started";
    }
    std::string line() {
        char text[512] = {};
        return std::fgets(text, sizeof text, out) ? text : "";
    }
    // The wait status once the program has ended; past `limit` it is killed and the
    // status says so.
    int end(std::chrono::seconds limit) {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "still running after " << limit.count() << " s";
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::pclose(out); // already reaped
        return status;
    }
};

} // namespace

TEST(Exit, SigtermWhileBusyQuitsAndTheCaptureHoldsEveryTransfer) {
    const TempDir dir;
    Program run(dir, KORVA_PROGRAM, "--simulate --capture usb.pcap");
    EXPECT_EQ(run.line(), "busy\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // some records reach the disk
    ::kill(run.pid, SIGTERM);
    const int clicks = std::atoi(run.line().c_str());
    const int status = run.end(std::chrono::seconds(30));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_GT(clicks, 0);
    // Two exchanges per click, two records per transfer.
    EXPECT_EQ(korva::test::readCapture(dir / "usb.pcap").size(),
              8u * static_cast<unsigned>(clicks));
}

// Each start-up box, ended by a signal: the program ends at once with status 0, its own
// lock released, another copy's lock and an existing capture file left alone.
TEST(Exit, SignalDuringAStartUpBoxEndsTheProgramAtOnce) {
    const struct {
        const char* box; // a piece of the box's first line
        int signal;
        const char* file; // a file put in the program's folder ('/'-led: in its own folder)
        const char* text;
    } rows[] = {
        {"The video mode table", SIGTERM, "mode_table.dat", "h1\r\nh2\r\nmodes 02\r\nno mode\r\n"},
        {"Another copy", SIGINT, "korva726eval.lock", "1\nkorva726eval\nelsewhere.invalid\n"},
        {"Config.ini has a setting", SIGTERM, "/Config.ini", "[USB]\r\nVendorID=12345\r\n"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.box);
        const TempDir dir;
        std::string program = KORVA_PROGRAM;
        std::string file = row.file;
        if (file[0] == '/') { // beside a link to the program, where it looks for Config.ini
            std::filesystem::create_directory(dir.path / "bin");
            program = dir / "bin/korva726eval";
            std::error_code linked;
            std::filesystem::create_hard_link(KORVA_PROGRAM, program, linked);
            if (linked) std::filesystem::copy_file(KORVA_PROGRAM, program);
            file = "bin" + file;
        }
        korva::test::writeFile(dir / file, std::string(row.text));
        korva::test::writeFile(dir / "usb.pcap", std::string("kept"));
        Program run(dir, program, "--simulate --capture usb.pcap");
        EXPECT_NE(run.line().find(row.box), std::string::npos);
        ::kill(run.pid, row.signal);
        const int status = run.end(std::chrono::seconds(5));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        EXPECT_EQ(korva::test::slurp(dir / "korva726eval.lock"),
                  file == "korva726eval.lock" ? row.text : "");
        EXPECT_EQ(korva::test::slurp(dir / "usb.pcap"), "kept");
    }
}
