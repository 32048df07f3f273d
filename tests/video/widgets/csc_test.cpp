// The colour space converter button: each switch writes FPGA register 0x1B once, and the
// caption and the red face show the state the converter reached, in the common styles.
#include "support/board_rig.h"
#include "support/hex_packets.h"
#include "video/widgets/csc.h"

#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;

TEST(Csc, EachSwitchWritesOnceAndShowsTheStateReached) {
    enum Step { Click, ForeignCaptionClick, FailedClick };
    // Each click from the state the one before left: what is sent, whether it shows "on",
    // the errors reported. Any caption but "enabled" counts as off; a failed write leaves
    // the button as it was.
    const std::tuple<Step, const char*, bool, std::vector<std::int16_t>> steps[] = {
        {Click, "2F1B21", true, {}},
        {Click, "2F1B01", false, {}},
        {ForeignCaptionClick, "2F1B21", true, {}},
        {FailedClick, "", true, {-9}}}; // the status of a stalled pipe

    for (const char* name : {"Fusion", "Windows"}) {
        test::BoardRig r;
        QPushButton button;
        button.resize(139, 39);
        const std::unique_ptr<QStyle> style(QStyleFactory::create(name));
        button.setStyle(style.get());
        CscControl csc(&button, r.board);
        for (auto [step, sent, on, codes] : steps) {
            SCOPED_TRACE(std::string(name) + " step " + std::to_string(step));
            r.sim.clearLog();
            r.sink.codes.clear();
            if (step == ForeignCaptionClick) button.setText("something else");
            if (step == FailedClick) r.sim.failTransfer(1, status::Pipe);
            QTest::mouseClick(&button, Qt::LeftButton);
            EXPECT_EQ(r.sent(), test::hexPackets(sent));
            EXPECT_EQ(csc.enabled(), on);
            const QImage face = button.grab().toImage(); // the left edge, away from the text
            const QColor c = face.pixelColor(6, face.height() / 2);
            EXPECT_EQ(c.red() > 200 && c.green() < 80 && c.blue() < 80, on);
            EXPECT_EQ(r.sink.codes, codes);
        }
    }
}
