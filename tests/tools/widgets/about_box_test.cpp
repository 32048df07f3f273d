// The About box: closing by Escape, OK and Return, and where System Info looks.
#include "support/fake_prompts.h"
#include "tools/widgets/about_box.h"

#include <QTest>
#include <gtest/gtest.h>

using namespace korva;

const QString kKey1 = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO|PATH";
const QString kKey2 = "SOFTWARE\\Microsoft\\Shared Tools Location|MSINFO";

// A stand-in for the host: at most one registry key, naming the folder C:\S that holds
// MSINFO32.EXE, and programs in /bin; and for the message boxes. It logs the keys looked up
// and the programs started.
struct FakeAboutHost : SystemInfo, test::FakePrompts {
    QString keyFound;
    QStringList onPath, calls;
    bool startWorks = true;
    bool GetKeyValue(std::uint32_t, const QString& k, const QString& name, QString& v) override {
        v = k + "|" + name == keyFound ? "C:\\S" : "";
        return calls << k + "|" + name, !v.isEmpty();
    }
    bool fileExists(const QString& path) override { return path == "C:\\S\\MSINFO32.EXE"; }
    QString findProgram(const QString& p) override { return onPath.contains(p) ? "/bin/" + p : ""; }
    bool startProgram(const QString& path) override { return calls << path, startWorks; }
};

// Each box is first shown and closed by a key: Escape, Space on OK, or Return (OK is the
// default button).
TEST(AboutBox, ClosesAndSystemInfoStartsTheFirstProgramFoundOrSaysItIsUnavailable) {
    const QStringList tools = {"kinfocenter", "gnome-system-monitor"};
    const QString kin = "/bin/kinfocenter", gnome = "/bin/gnome-system-monitor";
    // the closing key, the registry key found, the programs found, whether they start, the
    // keys looked up and the programs started, and whether System Info is said to be unavailable
    const std::tuple<Qt::Key, QString, QStringList, bool, QStringList, bool> cases[] = {
        {Qt::Key_Escape, "", {}, true, {kKey1, kKey2}, true},
        {Qt::Key_Space, "", tools, true, {kKey1, kKey2, kin}, false},
        {Qt::Key_Return, "", tools, false, {kKey1, kKey2, kin, gnome}, true},
        {Qt::Key_Escape, kKey2, tools, true, {kKey1, kKey2, "C:\\S\\MSINFO32.EXE"}, false}};
    for (const auto& [key, keyFound, onPath, startWorks, calls, unavailable] : cases) {
        SCOPED_TRACE(calls.join(",").toStdString());
        FakeAboutHost host;
        host.keyFound = keyFound, host.onPath = onPath, host.startWorks = startWorks;
        AboutBox box{host, &host};
        box.show();
        QTest::keyClick(key == Qt::Key_Space ? box.findChild<QWidget*>("cmdOK") : &box, key);
        EXPECT_FALSE(box.isVisible());
        QTest::mouseClick(box.findChild<QWidget*>("cmdSysInfo"), Qt::LeftButton);
        EXPECT_EQ(host.calls, calls);
        EXPECT_EQ(host.messages.size(), unavailable ? 1u : 0u);
    }
}
