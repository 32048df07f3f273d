// Register dump files, the debug controls and the About box in the real main window.
#include "afe/register_panels.h"
#include "device/textnum.h"
#include "support/form_rig.h"
#include "tools/about_box.h"
#include "tools/debug_controls.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;
using namespace korva::test;

namespace {

struct NoSystemInfo : SystemInfo {
    bool GetKeyValue(std::uint32_t, const QString&, const QString&, QString& value) override {
        value.clear();
        return false;
    }
    bool fileExists(const QString&) override { return false; }
    QString findProgram(const QString&) override { return {}; }
    bool startProgram(const QString&) override { return false; }
};

} // namespace

TEST(DumpInWindow, SaveAndLoadRoundTripAllRegistersThroughTheMenus) {
    FormRig r;
    ASSERT_TRUE(r.start());
    // Give every writable register a distinct value, read them, save.
    for (int a = 3; a <= 0x41; ++a)
        r.sim.setAfe(a, static_cast<std::uint8_t>(0xA0 ^ a));
    r.form->ReadAllRegisterButton_Click();
    const QString file = r.dir.filePath("set1.TXT");
    r.prompts.fileAnswers.push_back(file);
    QApplication::setActiveWindow(r.form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(r.form.get()));
    QTest::keyClick(r.form.get(), Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(QFile::exists(file));

    // Scramble the chip, then load the file back.
    for (int a = 3; a <= 0x41; ++a)
        r.sim.setAfe(a, 0);
    r.sim.clearLog();
    r.prompts.fileAnswers.push_back(file);
    QTest::keyClick(r.form.get(), Qt::Key_L, Qt::ControlModifier);
    const Packets sent = r.sent();
    ASSERT_EQ(sent.size(), 66u + 2u); // 66 single writes, then Read All's two bursts
    for (int a = 0; a <= 0x41; ++a) {
        const std::uint8_t expected = a <= 2 ? SimBoard::kAfePowerOn[a] : std::uint8_t(0xA0 ^ a);
        EXPECT_EQ(sent[a], packet({0x23, std::uint8_t(a), expected})) << a;
    }
    EXPECT_EQ(sent[66], packet({0x03, 0x4C, 0x00, 0x40}));
    for (int a = 3; a <= 0x41; ++a)
        EXPECT_EQ(r.sim.afe(a), 0xA0 ^ a);
    EXPECT_EQ(r.form->reg_KORVA726(0x41)->text(), QString::fromStdString(HexByte(0xA0 ^ 0x41)));
    EXPECT_EQ(r.form->panels().ProgressBar1()->value(), 0);
    EXPECT_TRUE(r.prompts.messages.empty());
    // The second dialog suggested the name chosen first.
    ASSERT_EQ(r.prompts.fileRequests.size(), 2u);
    EXPECT_EQ(r.prompts.fileRequests[0].fileName, "registers");
    EXPECT_EQ(r.prompts.fileRequests[1].fileName, file);
}

TEST(DumpInWindow, TestFlagNamesEveryRegister) {
    FormRig r;
    ASSERT_TRUE(r.start());
    r.form->ShowHiddenModes();
    const QString file = r.dir.filePath("named.TXT");
    r.prompts.fileAnswers.push_back(file);
    r.form->nFileSaveRegisterAs_Click();
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().split('\n');
    ASSERT_GE(lines.size(), 68);
    EXPECT_EQ(lines[0x20 + 2], "AFE Control (0x20): 0x\r");
    EXPECT_EQ(lines[2], "ID and Revision (0x00) : 0x\r");
    EXPECT_EQ(lines[5 + 2], "Input Config (0x05): 0x  \r");
}

TEST(DebugInWindow, HiddenButtonsAndCommand4LeavesDownloadFpgaVisible) {
    FormRig r;
    ASSERT_TRUE(r.start());
    auto* downloadFpga = r.form->findChild<QPushButton*>("DownloadFPGA");
    auto* command1 = r.form->findChild<QPushButton*>("Command1");
    ASSERT_TRUE(downloadFpga && command1);
    EXPECT_TRUE(downloadFpga->isHidden());
    EXPECT_TRUE(command1->isHidden());
    QFile bit(r.dir.filePath("fpga_top.bit"));
    ASSERT_TRUE(bit.open(QIODevice::WriteOnly));
    bit.write(QByteArray(64, '\x5A'));
    bit.close();
    // The debug tab is hidden and disabled, so its button cannot be clicked; its handler
    // still works.
    auto* command4 = r.form->findChild<QPushButton*>("Command4");
    QTest::mouseClick(command4, Qt::LeftButton);
    EXPECT_EQ(r.sim.startPackets(), 0);
    r.form->debugControls().DownloadFPGA_Click();
    EXPECT_EQ(r.sim.startPackets(), 1);
    EXPECT_EQ(r.sim.streamed().size(), 128u);
    EXPECT_FALSE(downloadFpga->isHidden());
    r.form->debugControls().WipeEEPROM_Click();
    EXPECT_EQ(r.sent(), Packets{packet({0x80, 0x00, 0x00, 0x00})});
}

TEST(AboutInWindow, MenuShowsItEscapeClosesItSystemInfoSaysUnavailable) {
    NoSystemInfo none;
    FormRig r;
    Form1Options o = r.options();
    o.systemInfo = &none;
    r.form = std::make_unique<Form1>(r.sim, r.prompts, o);
    ASSERT_TRUE(r.start());
    r.form->findChild<QAction*>("nFileAbout")->trigger();
    AboutBox* about = r.form->about();
    ASSERT_TRUE(about);
    EXPECT_TRUE(about->isVisible());
    EXPECT_EQ(about->objectName(), "frmAbout");
    about->findChild<QPushButton*>("cmdSysInfo")->click();
    ASSERT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_EQ(r.prompts.messages[0].text, "System Information Is Unavailable At This Time");
    QApplication::setActiveWindow(about);
    QTest::keyClick(about, Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_FALSE(r.form->about() && r.form->about()->isVisible());
    EXPECT_TRUE(r.form->isVisible());
    // A later choice shows a fresh About box.
    r.form->nFileAbout_Click();
    ASSERT_TRUE(r.form->about());
    EXPECT_TRUE(r.form->about()->isVisible());
}
