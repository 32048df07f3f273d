// The window and its board over libusb, against boards that umockdev emulates: which board
// it drives (the list shown when several are connected, --device), what its title says as
// the board comes and goes, one window per board, and what it says without any board.
// glib's headers first: they name a field "signals", which Qt's headers make a keyword.
#include "device/umockdev_board.h"

#include "app/board_choice.h"
#include "app/form1.h"
#include "support/fake_prompts.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace korva;
using namespace korva::test;

namespace {

// Boards A (port 1-1) and B (port 1-2), plugged in unless told otherwise; windows made on
// them share one folder for their locks. Windows go before the boards and the testbed.
struct Bench : TwoBoards {
    QTemporaryDir locks;
    explicit Bench(bool plugged = true) {
        if (plugged) a.plug(), b.plug();
    }

    struct Window {
        BoardConnection connection;
        FakePrompts prompts;
        std::unique_ptr<Form1> form;
        int ended = 0;
        explicit Window(const std::string& device) : connection(selection(device)) {}
        static BoardSelection selection(const std::string& device) {
            BoardSelection s;
            s.device = device;
            return s;
        }
        QString title() const {
            return form->windowTitle().section(QString::fromUtf8(" \u2014 "), 1);
        }
    };
    // A window as the program makes one: the board chosen (the list answered with `pick`),
    // then loaded, shown and started.
    std::unique_ptr<Window> window(const std::string& device, int pick = -1) {
        auto w = std::make_unique<Window>(device);
        QString last;
        if (pick >= 0) w->prompts.chooseAnswers.push_back(pick);
        if (!ChooseWindowBoard(w->connection, w->prompts, last).start) return w;
        Form1Options o;
        o.lockDir = o.configDir = o.workingDir = locks.path();
        o.endProgram = [w = w.get()] { ++w->ended; };
        w->form = std::make_unique<Form1>(w->connection, w->prompts, o);
        return w;
    }
};

// Lets events run until `condition` holds, five seconds at most.
bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 500 && !condition(); ++i)
        QTest::qWait(10);
    return condition();
}

bool start(Bench::Window& w) {
    if (!w.form->Form_Load()) return false;
    w.form->show();
    w.form->Form_Activate();
    return true;
}

} // namespace

TEST(WindowBoards, TheListChoosesTheBoardAndTheTitleFollowsItAcrossAReplug) {
    Bench bench;
    const struct {
        const char* device;
        int pick;             // the list's answer (-1: cancel)
        const char* identity; // the window's board; "" when the program ends
        std::size_t lists;    // lists shown
    } rows[] = {
        {"", 1, "board K726-B (port 1-2)", 1},
        {"", -1, "", 1},
        {"K726-A", -1, "board K726-A (port 1-1)", 0},
        {"1:3", -1, "board K726-B (port 1-2)", 0},
        {"nothere", -1, "", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.device) + " " + std::to_string(row.pick));
        auto w = bench.window(row.device, row.pick);
        EXPECT_EQ(w->prompts.choices.size(), row.lists);
        if (row.lists) {
            EXPECT_TRUE(w->prompts.choices[0][1].contains("serial K726-B"));
        }
        ASSERT_EQ(w->form != nullptr, *row.identity != 0);
        if (!w->form) {
            // --device naming no board connected: said, and the program ends.
            EXPECT_EQ(w->prompts.messages.size(), *row.device == 'n' ? 1u : 0u);
            continue;
        }
        ASSERT_TRUE(start(*w));
        EXPECT_EQ(w->title(), row.identity);
    }

    // The board in use leaves, another comes and goes, and it comes back: the title says
    // so, and the window keeps working on the same board.
    auto w = bench.window("K726-B");
    ASSERT_TRUE(start(*w));
    const int claimsOfA = bench.a.claims;
    bench.b.unplug();
    EXPECT_TRUE(eventually([&] { return w->title() == "board K726-B unplugged"; }));
    bench.a.unplug(), bench.a.plug();
    QTest::qWait(300);
    EXPECT_EQ(w->title(), QString("board K726-B unplugged"));
    bench.b.plug();
    EXPECT_TRUE(eventually([&] { return w->title() == "board K726-B (port 1-2)"; }))
        << w->title().toStdString();
    w->form->findChild<QPushButton*>("ReadAllRegisterButton")->click();
    EXPECT_EQ(std::tuple(bench.b.received().size(), bench.a.claims - claimsOfA, w->ended),
              std::tuple(std::size_t{2}, 0, 0)); // two burst reads, on B alone
}

TEST(WindowBoards, OneWindowPerBoardAndTheSecondCopyBringsTheFirstForward) {
    Bench bench;
    auto onA = bench.window("K726-A"), onB = bench.window("1-2");
    ASSERT_TRUE(start(*onA) && start(*onB));
    EXPECT_TRUE(onA->prompts.messages.empty() && onB->prompts.messages.empty());
    QSignalSpy raised(onA->form.get(), &Form1::anotherCopyStarted);
    auto again = bench.window("1:2"); // board A once more
    EXPECT_FALSE(again->form->Form_Load());
    ASSERT_EQ(again->prompts.messages.size(), 1u);
    EXPECT_TRUE(again->prompts.messages[0].text.endsWith(
        "restart\r\n\r\nIt drives the board K726-A (port 1-1)."));
    EXPECT_TRUE(raised.count() == 1 || raised.wait(2000));
    EXPECT_EQ(bench.a.claims.load(), 1); // only the first window opened it
}

TEST(WindowBoards, WithoutABoardTheTitleAndTheFirstFailureSaySo) {
    Bench bench(false); // no board at all
    const auto window = bench.window("");
    Bench::Window& w = *window;
    ASSERT_TRUE(w.form); // the window starts without a board
    ASSERT_TRUE(start(w));
    EXPECT_EQ(w.title(), QString("no board"));
    w.form->findChild<QPushButton*>("ReadAllRegisterButton")->click();
    ASSERT_EQ(w.prompts.messages.size(), 1u);
    EXPECT_TRUE(w.prompts.messages[0].text.startsWith(
        "Selected Device Driver was not found. Perhaps no device is connected.\nPlug the "
        "board in."));
    EXPECT_TRUE(w.prompts.messages[0].text.contains("--simulate") && w.ended == 1);
}
