// The colour space converter button: the writes to FPGA register 0x1B, the caption that
// holds the state, and the red face while the converter is on.
#include "support/board_rig.h"
#include "video/csc.h"

#include <QImage>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

using namespace korva;
using korva::test::packet;
using korva::test::Packets;

namespace {

const QString kEnabled = "YPbPr to RGB CSC Is Currently Enabled";
const QString kDisabled = "YPbPr to RGB CSC Is Currently Disabled";

struct Rig : test::BoardRig {
    QPushButton button{kDisabled};
    CscControl csc{&button, board};

    explicit Rig(bool plugged = true) : BoardRig(plugged) { button.resize(139, 39); }
    // The colour in the middle of the button's face as the style paints it, away from the text.
    QColor face() {
        const QImage image = button.grab().toImage();
        return image.pixelColor(6, image.height() / 2);
    }
    bool red() {
        const QColor c = face();
        return c.red() > 200 && c.green() < 80 && c.blue() < 80;
    }
};

} // namespace

TEST(Csc, ClicksToggleWriteAndShowTheState) {
    Rig r;
    QTest::mouseClick(&r.button, Qt::LeftButton);
    EXPECT_EQ(r.sent(), Packets{packet({0x2F, 0x1B, 0x21})});
    EXPECT_EQ(r.button.text(), kEnabled);
    EXPECT_TRUE(r.csc.enabled());
    EXPECT_EQ(r.face(), QColor(255, 0, 0));

    QTest::mouseClick(&r.button, Qt::LeftButton);
    EXPECT_EQ(r.sent(), (Packets{packet({0x2F, 0x1B, 0x21}), packet({0x2F, 0x1B, 0x01})}));
    EXPECT_EQ(r.button.text(), kDisabled);
    EXPECT_FALSE(r.red());
    EXPECT_TRUE(r.sink.codes.empty());

    // Enable and disable write every time; a foreign caption counts as disabled.
    r.sim.clearLog();
    r.csc.CSC_Enable();
    r.csc.CSC_Disable();
    r.button.setText("something else");
    r.csc.CSC_Click();
    EXPECT_EQ(r.sent(), (Packets{packet({0x2F, 0x1B, 0x21}), packet({0x2F, 0x1B, 0x01}),
                                 packet({0x2F, 0x1B, 0x21})}));
    EXPECT_EQ(r.button.text(), kEnabled);
}

TEST(Csc, FailedWriteKeepsTheCaption) {
    Rig r(false);
    QTest::mouseClick(&r.button, Qt::LeftButton);
    EXPECT_EQ(r.sink.codes, std::vector<std::int16_t>{0});
    EXPECT_TRUE(r.sent().empty());
    EXPECT_EQ(r.button.text(), kDisabled);
    EXPECT_FALSE(r.red());

    // Enabled, then the board fails the disabling write's transfer.
    Rig s;
    s.csc.CSC_Enable();
    s.sim.failTransfer(1, status::Pipe);
    s.csc.CSC_Click();
    ASSERT_EQ(s.sink.codes.size(), 1u);
    EXPECT_NE(s.sink.codes[0], 0);
    EXPECT_EQ(s.button.text(), kEnabled);
    EXPECT_TRUE(s.red());
}

TEST(Csc, FaceIsPaintedRedInTheCommonStyles) {
    for (const char* name : {"Fusion", "Windows"}) {
        std::unique_ptr<QStyle> style(QStyleFactory::create(name));
        ASSERT_NE(style, nullptr) << name;
        Rig r;
        r.button.setStyle(style.get());
        r.csc.CSC_Enable();
        EXPECT_TRUE(r.red()) << name << " " << qPrintable(r.face().name());
        r.csc.CSC_Disable();
        EXPECT_FALSE(r.red()) << name;
        r.button.setStyle(nullptr);
    }
}
