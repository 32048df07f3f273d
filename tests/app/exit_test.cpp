// The window program ended by SIGTERM in the middle of its work: it quits cleanly and its
// capture file holds every transfer made. A helper that Qt loads through its testability
// hook keeps it clicking "Read All Registers" and tells how many clicks it made.
#include "support/pcap_reader.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdio>
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
