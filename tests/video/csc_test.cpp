// The colour space converter button: each switch writes FPGA register 0x1B once, and the
// caption and the red face show the state the converter reached, in the common styles.
#include "support/board_rig.h"
#include "support/hex_packets.h"
#include "video/csc.h"

#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;
using korva::test::hexPackets;

namespace {

// The middle of the face's left edge as the style paints it, away from the text.
bool red(QPushButton& button) {
    const QImage image = button.grab().toImage();
    const QColor c = image.pixelColor(6, image.height() / 2);
    return c.red() > 200 && c.green() < 80 && c.blue() < 80;
}

} // namespace

TEST(Csc, EachSwitchWritesOnceAndShowsTheStateReached) {
    enum Step { Click, Enable, Disable, ForeignCaptionClick, FailedClick };
    // Each step from the state the one before left: what is sent, whether it shows "on".
    const std::tuple<Step, const char*, bool> steps[] = {
        {Click, "2F1B21", true},
        {Click, "2F1B01", false},
        {Enable, "2F1B21", true},
        {Disable, "2F1B01", false},
        {ForeignCaptionClick, "2F1B21", true}, // any caption but "enabled" counts as off
        {FailedClick, "", true}};              // the write fails: the button stays on
    for (const char* name : {"Fusion", "Windows"}) {
        test::BoardRig r;
        QPushButton button;
        button.resize(139, 39);
        const std::unique_ptr<QStyle> style(QStyleFactory::create(name));
        button.setStyle(style.get());
        CscControl csc(&button, r.board);
        for (auto [step, sent, on] : steps) {
            SCOPED_TRACE(std::string(name) + " step " + std::to_string(step));
            r.sim.clearLog();
            if (step == ForeignCaptionClick) button.setText("something else");
            if (step == FailedClick) r.sim.failTransfer(1, status::Pipe);
            if (step == Enable) csc.CSC_Enable();
            if (step == Disable) csc.CSC_Disable();
            if (step != Enable && step != Disable) QTest::mouseClick(&button, Qt::LeftButton);
            EXPECT_EQ(r.sent(), hexPackets(sent));
            EXPECT_EQ(csc.enabled(), on);
            EXPECT_EQ(red(button), on);
            EXPECT_EQ(r.sink.codes.size(), step == FailedClick ? 1u : 0u);
        }
        EXPECT_NE(r.sink.codes.at(0), 0);
    }
    test::BoardRig none(false); // no board: the failure is reported, the button stays off
    QPushButton button;
    CscControl csc(&button, none.board);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(none.sink.codes, std::vector<std::int16_t>{0});
    EXPECT_TRUE(none.sent().empty());
    EXPECT_FALSE(csc.enabled() || red(button));
}
