// The DE generator frame on the simulated board: texts set, typed and stepped with the
// arrows, the count's bytes in grid cells 28..35, the FPGA writes of the cells that change,
// and the grid re-read after Vstop.
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "support/hex_packets.h"
#include "fpga/widgets/fpga_grid.h"
#include "video/widgets/de_generator.h"

#include <QLineEdit>
#include <QShortcut>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;

// Each row: a box, a text the program puts in it (nullptr: none), a key pressed then, text
// typed then, what the box shows (nullptr: as put), its two grid cells and what is sent.
TEST(DeGenerator, BoxesWriteTheChangedCellsOfTheirCountAndVstopRereadsTheGrid) {
    enum { H, Hs, V, Vs };
    const QKeyCombination no, up(Qt::Key_Up), down(Qt::Key_Down);
    std::string reread; // registers 0..0x24
    for (int i = 0; i <= 0x24; ++i)
        reread += QString::asprintf(" 2E%02X", i).toStdString();
    const std::tuple<int, const char*, QKeyCombination, const char*, const char*, const char*,
                     std::string>
        rows[] = {{H, "256", no, "", nullptr, "1 0", "2F1C01 2F1D00"},
                  // Only the cells that change; 9E9 does not fit: nothing for it.
                  {H, "", no, "9E9", "9E9", "0 9", "2F1C00 2F1D09"},
                  {Vs, "1E6", no, "", nullptr, " ", ""}, // neither written nor re-read
                  // The arrows step by one, from out of range to the largest count and no further;
                  // typing stops at four characters but the arrows do not.
                  {H, nullptr, down, "", "65535", "FF FF", "2F1CFF 2F1DFF"},
                  {H, nullptr, up, "", "65535", "FF FF", ""},
                  {Hs, "9999", up, "", "10000", "27 10", "2F1E27 2F1F0F 2F1F10"},
                  {H, "0", down, "", "-1", "0 0", "2F1C00 2F1D00"},
                  {H, nullptr, down, "", "0", "0 0", ""}, // -1 and 0 both reach the registers as 0
                  // Typing takes digits and capital hex letters; editing and Ctrl keys pass.
                  {V, "", no, "1a-. b,+F", "1F", "0 1", "2F2000 2F2100 2F2101"},
                  {V, nullptr, Qt::Key_Left, "2", "12F", "0 C", "2F210C"},
                  {V, nullptr, Qt::Key_Backspace, "2345", "123F", "0 7B", "2F2101 2F210C 2F217B"},
                  {V, nullptr, Qt::CTRL | Qt::Key_A, "7", "7", "0 7", "2F2107"},
                  {H, nullptr, Qt::CTRL | Qt::Key_S, "", "0", "0 0", ""}, // the window's shortcut
                  {Vs, "1066", no, "", nullptr, "4 2A", "2F2204 2F232A" + reread}};
    test::BoardRig r;
    test::FakePrompts prompts;
    FpgaGrid grid{r.board, prompts};
    QWidget window; // with a Ctrl+S action of its own
    DeGenerator de{grid, r.board, &window};
    QShortcut save(Qt::CTRL | Qt::Key_S, &window);
    int saved = 0;
    QObject::connect(&save, &QShortcut::activated, [&] { ++saved; });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    de.Hstart()->setFocus();
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows); // the row's index
        const auto& [which, set, key, typed, shown, cells, sent] = row;
        QLineEdit* box = de.box(which);
        if (set) box->setText(set);
        if (key != no) QTest::keyClick(box, key.key(), key.keyboardModifiers());
        QTest::keyClicks(box, typed);
        EXPECT_EQ(box->text(), shown ? shown : set);
        EXPECT_EQ(grid.XilinxReg(28 + 2 * which)->text() + " " +
                      grid.XilinxReg(29 + 2 * which)->text(),
                  cells);
        EXPECT_EQ(r.sent(), test::hexPackets(sent)); // nothing is written before a change
        r.sim.clearLog();
    }
    EXPECT_EQ(saved, 1);
}
