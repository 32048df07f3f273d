// The window program ended by SIGTERM in the middle of its work: it quits cleanly and its
// capture file holds every transfer made. A helper that Qt loads through its testability
// hook keeps it clicking "Read All Registers" and tells how many clicks it made.
#include "support/pcap_reader.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

TEST(Exit, SigtermWhileBusyQuitsAndTheCaptureHoldsEveryTransfer) {
    const korva::test::TempDir dir; // also the runtime folder of the program
    const std::string capture = dir / "usb.pcap";
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::setenv("QT_LOAD_TESTABILITY", "1", 1);
        ::setenv("LD_LIBRARY_PATH", KORVA_HELPER_DIR, 1);
        ::setenv("XDG_RUNTIME_DIR", dir.path.c_str(), 1);
        ::execl(KORVA_PROGRAM, KORVA_PROGRAM, "--simulate", "--capture", capture.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(out[1]);
    std::FILE* from = ::fdopen(out[0], "r");
    char line[16] = {};
    EXPECT_TRUE(std::fgets(line, sizeof line, from) && line == std::string("busy\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // some records reach the disk
    ::kill(pid, SIGTERM);
    int clicks = 0;
    EXPECT_EQ(std::fscanf(from, "%d", &clicks), 1);
    std::fclose(from);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_GT(clicks, 0);
    // Two exchanges per click, two records per transfer.
    EXPECT_EQ(korva::test::readCapture(capture).size(), 8u * static_cast<unsigned>(clicks));
}
