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

const QString kKey1 = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO|PATH";
const QString kKey2 = "SOFTWARE\\Microsoft\\Shared Tools Location|MSINFO";

struct Rig {
    test::FakePrompts prompts;
    FakeSystemInfo info;
    AboutBox box{prompts, &info};
};

} // namespace

TEST(AboutBox, TextsAreNeverCut) {
    Rig r;
    EXPECT_EQ(r.box.findChild<QLabel*>("lblVersion")->text(), "Version 1.1 November 23, 2005");
    for (const char* name : {"lblTitle", "lblVersion", "lblDisclaimer"}) {
        auto* l = r.box.findChild<QLabel*>(name);
        EXPECT_FALSE(l->text().contains('\n')) << name;
        EXPECT_GE(l->width(), l->fontMetrics().horizontalAdvance(l->text())) << name;
        EXPECT_LE(l->geometry().right(), r.box.width()) << name;
    }
}

TEST(AboutBox, EscapeOkAndReturnClose) {
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

// Each case: what the host offers, then what System Info starts (empty: the message).
TEST(AboutBox, SystemInfoStartsTheFirstProgramFoundOrSaysItIsUnavailable) {
    const std::map<QString, QString> tools = {
        {"kinfocenter", "/usr/bin/kinfocenter"},
        {"gnome-system-monitor", "/usr/bin/gnome-system-monitor"}};
    struct Case {
        std::map<QString, QString> keys, onPath;
        QStringList files;
        bool startWorks;
        QStringList started;
        bool unavailable;
    };
    const Case cases[] = {
        {{}, {}, {}, true, {}, true},
        {{}, tools, {}, true, {"/usr/bin/kinfocenter"}, false},
        // One that will not start gives way to the next.
        {{}, tools, {}, false, {"/usr/bin/kinfocenter", "/usr/bin/gnome-system-monitor"}, true},
        {{{kKey1, "C:\\Tools\\msinfo32.exe"}}, {}, {}, true, {"C:\\Tools\\msinfo32.exe"}, false},
        // The second key names a folder without the program: the message, no fallback.
        {{{kKey2, "C:\\Shared"}}, {{"hardinfo", "/usr/bin/hardinfo"}}, {}, true, {}, true},
        {{{kKey2, "C:\\Shared"}},
         {},
         {"C:\\Shared\\MSINFO32.EXE"},
         true,
         {"C:\\Shared\\MSINFO32.EXE"},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.started.join(",").toStdString());
        Rig r;
        r.info.keys = c.keys;
        r.info.onPath = c.onPath;
        r.info.files = c.files;
        r.info.startWorks = c.startWorks;
        QTest::mouseClick(r.box.findChild<QPushButton*>("cmdSysInfo"), Qt::LeftButton);
        EXPECT_EQ(r.info.started, c.started);
        if (c.keys.empty()) {
            EXPECT_EQ(r.info.lookedUp, (QStringList{kKey1, kKey2}));
        }
        if (!c.unavailable) {
            EXPECT_TRUE(r.prompts.messages.empty());
            continue;
        }
        ASSERT_EQ(r.prompts.messages.size(), 1u);
        EXPECT_EQ(r.prompts.messages[0].text, "System Information Is Unavailable At This Time");
        EXPECT_EQ(r.prompts.messages[0].title,
                  "Vexholme KORVA726EVAL Video AFE Evaluation Software");
    }
}

TEST(AboutBox, HostHasNoKeys) {
    HostSystemInfo host;
    QString value = "stale";
    EXPECT_FALSE(host.GetKeyValue(SystemInfo::HKEY_LOCAL_MACHINE,
                                  "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO", "PATH", value));
    EXPECT_TRUE(value.isEmpty());
    EXPECT_TRUE(host.findProgram("no-such-program-korva726").isEmpty());
}
