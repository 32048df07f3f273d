// The About box: one-line texts never cut, closing by Escape, OK and Return, and where
// System Info looks.
#include "support/fake_prompts.h"
#include "tools/about_box.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace korva;

namespace {

const QString kKey1 = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO|PATH";
const QString kKey2 = "SOFTWARE\\Microsoft\\Shared Tools Location|MSINFO";

// A stand-in for the registry and the host's programs: one key with a text, programs found
// in /usr/bin, and C:\Shared\MSINFO32.EXE.
struct FakeSystemInfo : SystemInfo {
    QString key, text;
    QStringList onPath, lookedUp, started;
    bool startWorks = true;

    bool GetKeyValue(std::uint32_t root, const QString& k, const QString& name,
                     QString& value) override {
        lookedUp << k + "|" + name;
        EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
        value = key == k + "|" + name ? text : QString();
        return !value.isEmpty();
    }
    bool fileExists(const QString& path) override { return path == "C:\\Shared\\MSINFO32.EXE"; }
    QString findProgram(const QString& name) override {
        return onPath.contains(name) ? "/usr/bin/" + name : QString();
    }
    bool startProgram(const QString& path) override { return started << path, startWorks; }
};

struct Rig {
    test::FakePrompts prompts;
    FakeSystemInfo info;
    AboutBox box{prompts, &info};
};

} // namespace

TEST(AboutBox, TextsFitOnOneLineAndEscapeOkAndReturnClose) {
    Rig r;
    for (const char* name : {"lblTitle", "lblVersion", "lblDisclaimer"}) {
        auto* l = r.box.findChild<QLabel*>(name);
        EXPECT_FALSE(l->text().contains('\n')) << name;
        EXPECT_GE(l->width(), l->fontMetrics().horizontalAdvance(l->text())) << name;
        EXPECT_LE(l->geometry().right(), r.box.width()) << name;
    }
    for (int how = 0; how < 3; ++how) { // Escape, OK, Return (OK is the default button)
        r.box.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&r.box));
        if (how == 1)
            QTest::mouseClick(r.box.findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
        else
            QTest::keyClick(&r.box, how ? Qt::Key_Return : Qt::Key_Escape);
        EXPECT_FALSE(r.box.isVisible()) << how;
    }
    EXPECT_TRUE(r.prompts.messages.empty());
}

TEST(AboutBox, SystemInfoStartsTheFirstProgramFoundOrSaysItIsUnavailable) {
    const QStringList tools = {"kinfocenter", "gnome-system-monitor"};
    // the key found and its text, the programs on the path, whether they start, and what
    // is started; unless one of them starts, the message
    const std::tuple<QString, QString, QStringList, bool, QStringList> cases[] = {
        {"", "", {}, true, {}},
        {"", "", tools, true, {"/usr/bin/kinfocenter"}},
        {"", "", tools, false, {"/usr/bin/kinfocenter", "/usr/bin/gnome-system-monitor"}},
        {kKey1, "C:\\Tools\\msinfo32.exe", {}, true, {"C:\\Tools\\msinfo32.exe"}},
        {kKey2, "C:\\Other", {"hardinfo"}, true, {}}, // no program there, and no fallback
        {kKey2, "C:\\Shared", {}, true, {"C:\\Shared\\MSINFO32.EXE"}}};
    for (const auto& [key, text, onPath, startWorks, started] : cases) {
        SCOPED_TRACE(started.join(",").toStdString());
        Rig r;
        r.info.key = key, r.info.text = text, r.info.onPath = onPath;
        r.info.startWorks = startWorks;
        QTest::mouseClick(r.box.findChild<QPushButton*>("cmdSysInfo"), Qt::LeftButton);
        EXPECT_EQ(r.info.started, started);
        EXPECT_EQ(r.info.lookedUp, (key == kKey1 ? QStringList{kKey1} : QStringList{kKey1, kKey2}));
        const bool unavailable = started.isEmpty() || !startWorks;
        ASSERT_EQ(r.prompts.messages.size(), unavailable ? 1u : 0u);
        if (!unavailable) continue;
        EXPECT_EQ(r.prompts.messages[0].text, "System Information Is Unavailable At This Time");
    }
    HostSystemInfo host; // this platform has no keys
    QString value = "stale";
    EXPECT_FALSE(host.GetKeyValue(SystemInfo::HKEY_LOCAL_MACHINE, kKey1, "PATH", value));
    EXPECT_TRUE(value.isEmpty());
    EXPECT_TRUE(host.findProgram("no-such-program-korva726").isEmpty());
}
