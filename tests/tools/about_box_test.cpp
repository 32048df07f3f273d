// The About box: its texts, closing by Escape and OK, and where System Info looks.
#include "support/fake_prompts.h"
#include "tools/about_box.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <map>

using namespace korva;

namespace {

// A stand-in for the registry and the host's programs.
struct FakeSystemInfo : SystemInfo {
    std::map<QString, QString> keys;   // "key|value name" -> text
    std::map<QString, QString> onPath; // program name -> full path
    QStringList files;
    bool startWorks = true;
    QStringList lookedUp;
    QStringList started;

    bool GetKeyValue(std::uint32_t root, const QString& key, const QString& name,
                     QString& value) override {
        lookedUp << key + "|" + name;
        EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
        auto it = keys.find(key + "|" + name);
        value = it == keys.end() ? QString() : it->second;
        return it != keys.end();
    }
    bool fileExists(const QString& path) override { return files.contains(path); }
    QString findProgram(const QString& name) override {
        auto it = onPath.find(name);
        return it == onPath.end() ? QString() : it->second;
    }
    bool startProgram(const QString& path) override {
        started << path;
        return startWorks;
    }
};

const char* const kKey1 = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO|PATH";
const char* const kKey2 = "SOFTWARE\\Microsoft\\Shared Tools Location|MSINFO";

struct Rig {
    test::FakePrompts prompts;
    FakeSystemInfo info;
    AboutBox box{prompts, &info};
    void sysInfo() { QTest::mouseClick(box.findChild<QPushButton*>("cmdSysInfo"), Qt::LeftButton); }
    bool saidUnavailable() const {
        return prompts.messages.size() == 1 &&
               prompts.messages[0].text == "System Information Is Unavailable At This Time" &&
               prompts.messages[0].title == "Vexholme KORVA726EVAL Video AFE Evaluation Software";
    }
};

} // namespace

TEST(AboutBox, TextsAndControls) {
    Rig r;
    EXPECT_EQ(r.box.objectName(), "frmAbout");
    EXPECT_EQ(r.box.windowTitle(), "KORVA726EVAL");
    EXPECT_FALSE(r.box.isModal());
    EXPECT_FALSE(r.box.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(r.box.windowFlags() & Qt::WindowMaximizeButtonHint);
    auto text = [&](const char* name) { return r.box.findChild<QLabel*>(name)->text(); };
    EXPECT_EQ(text("lblTitle"), "KORVA726 Evaluation Software ");
    EXPECT_EQ(text("lblVersion"), "Version 1.1 November 23, 2005");
    EXPECT_EQ(text("lblDescription"),
              "Evaluation software for Vexholme's  KORVA726 family of video analog front ends");
    EXPECT_FALSE(text("lblDisclaimer").isEmpty());
    EXPECT_FALSE(text("lblDisclaimer").contains('\n'));
    const QPixmap icon = r.box.findChild<QLabel*>("picIcon")->pixmap();
    EXPECT_EQ(icon.size(), QSize(145, 48));
    EXPECT_EQ(r.box.findChild<QPushButton*>("cmdSysInfo")->text(), "&System Info...");
    EXPECT_TRUE(r.box.findChild<QPushButton*>("cmdOK")->isDefault());
    EXPECT_EQ(r.box.findChildren<QWidget*>("Line1").size(), 2);
    // The one-line texts are never cut, whatever font the system gives.
    for (const char* name : {"lblTitle", "lblVersion", "lblDisclaimer"}) {
        auto* l = r.box.findChild<QLabel*>(name);
        EXPECT_GE(l->width(), l->fontMetrics().horizontalAdvance(l->text())) << name;
        EXPECT_LE(l->geometry().right(), r.box.width()) << name;
    }
}

TEST(AboutBox, EscapeAndOkClose) {
    Rig r;
    r.box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&r.box));
    QTest::keyClick(&r.box, Qt::Key_Escape);
    EXPECT_FALSE(r.box.isVisible());

    r.box.show();
    QTest::mouseClick(r.box.findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
    EXPECT_FALSE(r.box.isVisible());

    r.box.show();
    QTest::keyClick(&r.box, Qt::Key_Return); // the default button
    EXPECT_FALSE(r.box.isVisible());
    EXPECT_TRUE(r.prompts.messages.empty());
}

TEST(AboutBox, SystemInfoWithNothingFoundSaysSo) {
    Rig r;
    r.sysInfo();
    EXPECT_EQ(r.info.lookedUp, (QStringList{kKey1, kKey2}));
    EXPECT_TRUE(r.info.started.isEmpty());
    EXPECT_TRUE(r.saidUnavailable());
}

TEST(AboutBox, SystemInfoStartsTheFirstProgramFound) {
    Rig r;
    r.info.onPath = {{"kinfocenter", "/usr/bin/kinfocenter"},
                     {"gnome-system-monitor", "/usr/bin/gnome-system-monitor"}};
    r.sysInfo();
    EXPECT_EQ(r.info.started, QStringList{"/usr/bin/kinfocenter"});
    EXPECT_TRUE(r.prompts.messages.empty());

    // One that will not start gives way to the next.
    Rig s;
    s.info.onPath = r.info.onPath;
    s.info.startWorks = false;
    s.sysInfo();
    EXPECT_EQ(s.info.started.size(), 2);
    EXPECT_TRUE(s.saidUnavailable());
}

TEST(AboutBox, SystemInfoFromTheKeys) {
    Rig r;
    r.info.keys[kKey1] = "C:\\Tools\\msinfo32.exe";
    r.sysInfo();
    EXPECT_EQ(r.info.started, QStringList{"C:\\Tools\\msinfo32.exe"});

    // Only the second key, with the program missing from its folder: the message.
    Rig s;
    s.info.keys[kKey2] = "C:\\Shared";
    s.info.onPath = {{"hardinfo", "/usr/bin/hardinfo"}};
    s.sysInfo();
    EXPECT_TRUE(s.info.started.isEmpty());
    EXPECT_TRUE(s.saidUnavailable());

    Rig t;
    t.info.keys[kKey2] = "C:\\Shared";
    t.info.files << "C:\\Shared\\MSINFO32.EXE";
    t.sysInfo();
    EXPECT_EQ(t.info.started, QStringList{"C:\\Shared\\MSINFO32.EXE"});
    EXPECT_TRUE(t.prompts.messages.empty());
}

TEST(AboutBox, HostHasNoKeys) {
    HostSystemInfo host;
    QString value = "stale";
    EXPECT_FALSE(host.GetKeyValue(SystemInfo::HKEY_LOCAL_MACHINE,
                                  "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH", value));
    EXPECT_TRUE(value.isEmpty());
    EXPECT_TRUE(host.findProgram("no-such-program-korva726").isEmpty());
}
