// `korva726ctl list` over libusb, against boards that umockdev emulates: the board a
// command would use is marked, and no board at all is a failure that says so.
#include "cli/script.h"
#include "device/umockdev_board.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace korva;
using namespace korva::cli;
using namespace korva::test;

namespace {

// Runs one script line as `korva726ctl [--device ID] run` would: what it printed, or the
// error it ended with.
std::string runLine(const std::string& line, const std::string& device) {
    int fds[2];
    if (::pipe(fds) != 0) return "no pipe";
    const std::string text = line + "\n";
    if (::write(fds[1], text.data(), text.size()) != ssize_t(text.size())) return "no write";
    ::close(fds[1]);
    SessionOptions options;
    options.device = device;
    Session session(options);
    const GlobalOptions global;
    LineReader in(fds[0]);
    std::string result;
    testing::internal::CaptureStdout();
    try {
        session.start();
        RunScript(in, session, global);
    } catch (const CommandError& e) {
        result = "exit " + std::to_string(e.status) + ": " + e.what();
    }
    result = testing::internal::GetCapturedStdout() + result;
    ::close(fds[0]);
    return result;
}

} // namespace

TEST(Korva726ctlList, MarksTheBoardACommandWouldUseAndSaysWhenThereIsNone) {
    const std::string a = "bus 001 device 002, port 1-1, ID 1209:1004, serial K726-A\n";
    const std::string b = "bus 001 device 003, port 1-2, ID 1209:1004, serial K726-B\n";
    const struct {
        int plugged; // 0 none, 1 board A, 2 both
        const char* device;
        std::string printed;
    } rows[] = {
        {0, "", "exit 2: line 1: no boards found"},
        {1, "", "* " + a},
        {2, "", "  " + a + "  " + b},
        {2, "K726-B", "  " + a + "* " + b},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.plugged) + " plugged, --device '" + row.device + "'");
        TwoBoards boards;
        if (row.plugged >= 1) boards.a.plug();
        if (row.plugged >= 2) boards.b.plug();
        EXPECT_EQ(runLine("list", row.device), row.printed);
    }
}
