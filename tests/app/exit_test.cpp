// The window program ended by SIGTERM or SIGINT: in the middle of its work it quits cleanly
// and its capture file holds every transfer made; while a start-up box waits for its OK it
// ends at once, as cleanly. A helper that Qt loads through its testability hook keeps it
// clicking "Read All Registers", or says which box is open, and tells what it did.
#include "support/pcap_reader.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>

TEST(Exit, SigtermWhileBusyQuitsAndTheCaptureHoldsEveryTransfer) {
    const korva::test::TempDir dir; // also the runtime folder of the program
    const std::string capture = dir / "usb.pcap";
    // The shell says its process id, which the program keeps as it replaces the shell.
    std::FILE* from = ::popen(
        ("echo $$; QT_LOAD_TESTABILITY=1 LD_LIBRARY_PATH='" KORVA_HELPER_DIR "' XDG_RUNTIME_DIR='" +
         dir.path.string() + "' exec '" KORVA_PROGRAM "' --simulate --capture '" + capture + "'")
            .c_str(),
        "r");
    ASSERT_TRUE(from);
    int pid = 0, clicks = 0;
    char said[8] = {};
    ASSERT_EQ(std::fscanf(from, "%d", &pid), 1);
    EXPECT_TRUE(std::fscanf(from, "%7s", said) == 1 && said == std::string("busy"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // some records reach the disk
    ::kill(pid, SIGTERM);
    EXPECT_EQ(std::fscanf(from, "%d", &clicks), 1);
    const int status = ::pclose(from);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_GT(clicks, 0);
    // The board's descriptor exchange, then two exchanges per click, two records per transfer.
    EXPECT_EQ(korva::test::readCapture(capture).size(), 2u + 8u * static_cast<unsigned>(clicks));
}

// Each start-up box, ended by a signal: the program ends at once with status 0, without the
// box that would come next, its own lock released, another copy's lock and an existing
// capture file left alone. Every row's mode table has a problem to show.
TEST(Exit, SignalDuringAStartUpBoxEndsTheProgramAtOnce) {
    const struct {
        const char* box; // a piece of the box's first line
        int signal;
        const char* file; // put in the working folder (Config.ini: beside the program)
        std::string text;
    } rows[] = {
        {"The video mode table", SIGTERM, "", ""},
        // A window without a board (no --simulate: USB, where no board is found) keys its
        // guard as "no-board".
        {"Another copy", SIGINT, "korva726eval-no-board.lock",
         "1\nkorva726eval\nelsewhere.invalid\n"},
        {"Config.ini has a setting", SIGTERM, "bin/Config.ini", "[USB]\r\nVendorID=12345\r\n"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.box);
        const korva::test::TempDir dir; // also the runtime folder
        std::string program = KORVA_PROGRAM;
        if (row.file == std::string("bin/Config.ini")) { // a copy of the program of its own
            std::filesystem::create_directory(dir.path / "bin");
            std::filesystem::copy_file(KORVA_PROGRAM, program = dir / "bin/korva726eval");
        }
        if (*row.file) korva::test::writeFile(dir / row.file, row.text);
        korva::test::writeFile(dir / "mode_table.dat", std::string("h1\r\nh2\r\nmodes 02\r\n"));
        korva::test::writeFile(dir / "usb.pcap", std::string("kept"));
        const std::string command =
            "cd '" + dir.path.string() + "' && echo $$ && QT_LOAD_TESTABILITY=1 LD_LIBRARY_PATH='" +
            KORVA_HELPER_DIR + "' XDG_RUNTIME_DIR=\"$PWD\" exec '" + program +
            "' --capture usb.pcap" + (row.file[0] == 'k' ? "" : " --simulate");
        std::FILE* from = ::popen(command.c_str(), "r");
        int pid = 0;
        char said[512] = {};
        ASSERT_TRUE(from && std::fscanf(from, "%d\n", &pid) == 1 &&
                    std::fgets(said, sizeof said, from));
        EXPECT_NE(std::string(said).find(row.box), std::string::npos) << said;
        ::kill(pid, row.signal);
        int status = 0; // killed if still there after 5 s
        for (int waited = 0; ::waitpid(pid, &status, WNOHANG) == 0; ++waited) {
            if (waited == 250) ::kill(pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::pclose(from);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        EXPECT_EQ(korva::test::slurp(dir / "korva726eval-no-board.lock"),
                  row.file[0] == 'k' ? row.text : "");
        EXPECT_EQ(korva::test::slurp(dir / "usb.pcap"), "kept");
    }
}

// The settings kept between runs, as the program started from a shell finds them: kept as
// they are, or forgotten with --reset-settings once the window runs.
TEST(Exit, ResetSettingsForgetsWhatThePreviousRunsKept) {
    const struct {
        const char* option;
        bool kept;
    } rows[] = {{"", true}, {" --reset-settings", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.option);
        const korva::test::TempDir dir; // also the runtime folder
        const std::string kept = "[dumpFiles]\nfolder=/srv/dumps\n[boards]\nlast=K726-0001\n";
        const std::string file = dir / "config/korva726eval/korva726eval.ini";
        std::filesystem::create_directories(dir / "config/korva726eval");
        korva::test::writeFile(file, kept);
        std::FILE* from =
            ::popen(("echo $$; QT_LOAD_TESTABILITY=1 LD_LIBRARY_PATH='" KORVA_HELPER_DIR
                     "' XDG_RUNTIME_DIR='" +
                     dir.path.string() + "' XDG_CONFIG_HOME='" + dir.path.string() +
                     "/config' exec '" KORVA_PROGRAM "' --simulate" + row.option)
                        .c_str(),
                    "r");
        ASSERT_TRUE(from);
        int pid = 0;
        char said[8] = {};
        ASSERT_EQ(std::fscanf(from, "%d", &pid), 1);
        EXPECT_TRUE(std::fscanf(from, "%7s", said) == 1 && said == std::string("busy"));
        ::kill(pid, SIGTERM);
        int clicks = 0; // what the helper says as the program ends
        EXPECT_EQ(std::fscanf(from, "%d", &clicks), 1);
        const int status = ::pclose(from);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        const std::string after = korva::test::slurp(file);
        EXPECT_EQ(after.find("/srv/dumps") != std::string::npos, row.kept) << after;
        EXPECT_EQ(after.find("K726-0001") != std::string::npos, row.kept) << after;
    }
}
