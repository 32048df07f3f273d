// The board connection over libusb, against two boards that umockdev emulates: the choice
// of board by serial number, port path and BUS:ADDR, what it says when it cannot choose,
// that only the chosen board is claimed, and that it stays with that board across a
// replug while another board comes and goes; and, on the simulated board, that the notices
// of the board and of a capture around it reach the front end.
#include "device/board_connection.h"
#include "support/board_rig.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"
#include "umockdev_board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>
#include <utility>

using namespace korva;
using namespace korva::test;

namespace {

// The two boards and the connection's error sink; the connection is destroyed before them.
struct Rig : TwoBoards {
    RecordingSink sink;
};

using Problem = BoardChoice::Problem;

} // namespace

TEST(BoardConnection, ChoosesByEachKindOfIdAndClaimsOnlyThatBoard) {
    const struct {
        const char* device;
        int plugged; // 0 none, 1 board A only, 2 both
        Problem problem;
        const char* identity; // what the connection says it drives once open
        int claimsA, claimsB;
        bool goneBeforeOpening = false; // the chosen board is unplugged before it is opened
    } rows[] = {
        {"K726-B", 2, Problem::None, "board K726-B (port 1-2)", 0, 1},
        {"1-1", 2, Problem::None, "board K726-A (port 1-1)", 1, 0},
        {"1:3", 2, Problem::None, "board K726-B (port 1-2)", 0, 1},
        {"001:002", 2, Problem::None, "board K726-A (port 1-1)", 1, 0},
        {"", 1, Problem::None, "board K726-A (port 1-1)", 1, 0},
        {"", 2, Problem::Several, "no board", 0, 0},
        {"K726-C", 2, Problem::NoMatch, "no board", 0, 0},
        {"", 0, Problem::NoBoard, "no board", 0, 0},
        {"K726-B", 2, Problem::None, "board K726-B (port 1-2)", 0, 0, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("--device '") + row.device + "', " + std::to_string(row.plugged) +
                     " plugged");
        Rig t;
        if (row.plugged >= 1) t.a.plug();
        if (row.plugged >= 2) t.b.plug();
        {
            BoardSelection selection;
            selection.device = row.device;
            BoardConnection connection(selection);
            connection.setErrorSink(t.sink);
            const BoardChoice choice = connection.choose();
            EXPECT_EQ(choice.problem, row.problem) << choice.message;
            if (row.problem == Problem::Several) {
                EXPECT_TRUE(choice.message.find("serial K726-A") != std::string::npos &&
                            choice.message.find("serial K726-B") != std::string::npos)
                    << choice.message;
            }
            if (choice.ok() && row.goneBeforeOpening) {
                t.b.unplug();
                const auto failure = connection.openNow();
                ASSERT_TRUE(failure);
                EXPECT_EQ(std::tuple(failure->kind, failure->message),
                          std::tuple(BoardConnection::OpenFailure::Kind::NotThere,
                                     std::string("the board could not be opened")));
            } else if (choice.ok()) {
                const auto failure = connection.openNow();
                ASSERT_FALSE(failure) << failure->message;
                EXPECT_TRUE(connection.board().WriteByte_AFE(0x06, 0x80));
            }
            EXPECT_EQ(connection.identity().describe(), row.identity);
        }
        EXPECT_EQ(std::tuple(t.a.claims.load(), t.b.claims.load()),
                  std::tuple(row.claimsA, row.claimsB));
        // The write went to the chosen board alone.
        EXPECT_EQ(t.a.received().size() + t.b.received().size(),
                  row.problem == Problem::None && !row.goneBeforeOpening);
    }
}

TEST(BoardConnection, StaysWithItsBoardAcrossAReplugWhileAnotherComesAndGoes) {
    Rig t;
    t.b.plug();
    BoardSelection selection;
    selection.device = "K726-B";
    BoardConnection connection(selection);
    connection.setErrorSink(t.sink);
    std::mutex m;
    std::vector<std::string> events;
    connection.onEvent = [&](BoardConnection::Event e, const BoardIdentity& id) {
        std::lock_guard lock(m);
        events.push_back((e == BoardConnection::Event::Attached ? "+" : "-") + id.key());
    };
    ASSERT_TRUE(connection.choose().ok());
    ASSERT_EQ(connection.open(), status::Success);

    t.b.unplug();
    ASSERT_TRUE(waitFor([&] { return !connection.attached(); }));
    t.a.plug(); // another board arrives while ours is away: it is not taken
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(connection.attached());
    t.b.plug();
    ASSERT_TRUE(waitFor([&] { return connection.attached(); }));
    EXPECT_TRUE(connection.board().WriteByte_AFE(0x06, 0x80));
    EXPECT_EQ(std::tuple(t.a.claims.load(), t.b.claims.load(), t.b.received().size(),
                         connection.identity().describe()),
              std::tuple(0, 2, std::size_t{1}, std::string("board K726-B (port 1-2)")));

    t.b.unplug(); // an exchange while it is away fails as "not found"
    ASSERT_TRUE(waitFor([&] { return !connection.attached(); }));
    EXPECT_FALSE(connection.board().WriteByte_AFE(0x06, 0x81));
    std::lock_guard lock(m);
    EXPECT_EQ(std::tuple(events, t.sink.codes),
              std::tuple(std::vector<std::string>{"+K726-B", "-K726-B", "+K726-B", "-K726-B"},
                         std::vector<std::int16_t>{0}));
}

// With a capture around the board, each layer's notices reach the front end as its own:
// the board's (kept as its last notice) and the capture's (its file could not be made).
TEST(BoardConnection, TellsTheNoticesOfTheBoardAndOfTheCaptureAroundIt) {
    using Notice = BoardConnection::Notice;
    TempDir dir;
    std::filesystem::create_directory(dir / "sub");
    BoardSelection selection = SimulatedBoard();
    selection.capture = dir / "sub/usb.pcap";
    std::mutex m;
    std::vector<std::pair<Notice, std::string>> heard;
    {
        BoardConnection connection(selection);
        RecordingSink sink;
        connection.setErrorSink(sink);
        connection.onNotice = [&](Notice kind, const std::string& text) {
            std::lock_guard lock(m);
            heard.emplace_back(kind, text);
        };
        connection.startCapture();
        ASSERT_EQ(connection.open(), status::Success);
        connection.simulatedBoard()->onNotice("the board speaks");
        std::filesystem::remove_all(dir / "sub");
        EXPECT_TRUE(connection.board().WriteByte_AFE(0x06, 0x80));
        connection.flush();
        EXPECT_EQ(std::tuple(connection.boardNotice(), connection.captureFailed()),
                  std::tuple(std::string("the board speaks"), true));
    }
    std::lock_guard lock(m);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0], std::pair(Notice::Board, std::string("the board speaks")));
    EXPECT_EQ(heard[1].first, Notice::Capture);
    EXPECT_NE(heard[1].second.find("usb.pcap: No such file or directory; USB traffic is not "
                                   "recorded"),
              std::string::npos)
        << heard[1].second;
}
