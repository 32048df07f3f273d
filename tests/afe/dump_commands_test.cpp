// Save and Load of register dump files from the main window's menu, on the simulated board,
// with recorded prompts and dialogs.
#include "afe/register_panels.h"
#include "device/textnum.h"
#include "support/form_rig.h"

#include <QAction>
#include <QProgressBar>
#include <gtest/gtest.h>

using namespace korva;
using namespace korva::test;

namespace {

using Writes = std::vector<std::pair<int, int>>;
const auto kReadAll = packet({0x03, 0x4C, 0x00, 0x40}); // the first burst of Read All

struct Dump : ::testing::Test {
    FormRig r;
    std::vector<int> progress;
    void SetUp() override {
        ASSERT_TRUE(r.start());
        QObject::connect(r.form->panels().ProgressBar1(), &QProgressBar::valueChanged,
                         [this](int v) { progress.push_back(v); });
    }
    QString path(const char* name) { return r.dir.filePath(name); }
    QByteArray file(const char* name) {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    void writeFile(const char* name, const QByteArray& bytes) {
        QFile f(path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    void menu(const char* item, const char* file) {
        r.prompts.fileAnswers.push_back(path(file));
        r.form->findChild<QAction*>(item)->trigger();
    }
    void save(const char* file) { menu("nFileSaveRegisterAs", file); }
    // The single-register writes the load sent, as (address, value).
    Writes load(const char* file) {
        r.sim.clearLog();
        menu("nFileLoadRegisterFrom", file);
        Writes w;
        for (const auto& p : r.sent())
            if (p[0] == 0x23) w.emplace_back(p[1], p[2]);
        return w;
    }
    QStringList files() { return QDir(r.dir.path()).entryList(QDir::Files); }
    long readAlls() {
        const Packets sent = r.sent();
        return std::count(sent.begin(), sent.end(), kReadAll);
    }
};

} // namespace

TEST_F(Dump, SaveWritesTheBoxesAsTheyStandWithoutReadingTheChip) {
    r.form->reg_KORVA726(0x10)->setText("5A");
    save("plain"); // a name typed without an extension gets the default
    const QList<QByteArray> lines = file("plain.TXT").split('\n');
    ASSERT_EQ(lines.size(), 69);
    EXPECT_EQ(lines[2 + 5], "Input Config (0x05): 0x  \r"); // never read
    EXPECT_TRUE(lines[2 + 0x10].endsWith(": 0x5A\r"));
    EXPECT_TRUE(lines[2 + 0x20].startsWith("Test Register (0x20)"));
    r.form->ShowHiddenModes();
    save("named.txt");
    EXPECT_TRUE(file("named.txt").split('\n')[2 + 0x20].startsWith("AFE Control (0x20)"));
    EXPECT_TRUE(r.sim.log().empty());
    // Progress steps to 100 after the last register line, then back to 0.
    ASSERT_GE(progress.size(), 3u);
    EXPECT_EQ(progress[progress.size() - 2], 100);
    EXPECT_EQ(progress.back(), 0);
    // Each dialog suggests the name chosen last.
    ASSERT_EQ(r.prompts.fileRequests.size(), 2u);
    EXPECT_EQ(r.prompts.fileRequests[0].fileName, "registers");
    EXPECT_EQ(r.prompts.fileRequests[1].fileName, path("plain.TXT"));
}

TEST_F(Dump, SaveReplacesAFileOnlyWhenAllowedAndWhole) {
    writeFile("keep.txt", "precious\r\n\x01\x02 contents");
    const QStringList before = files();
    r.prompts.confirmAnswers = {false, true, true};
    save("keep.txt");
    EXPECT_EQ(r.prompts.confirmations, std::vector<QString>{"File Exists|File exists.  Press OK "
                                                            "to overwrite, Cancel to abort."});
    EXPECT_EQ(file("keep.txt"), "precious\r\n\x01\x02 contents");
    EXPECT_TRUE(r.prompts.messages.empty());
    EXPECT_TRUE(progress.empty());
    // A missing folder, or a folder in the file's place (overwrite confirmed): nothing changes.
    save("no/such/folder/regs.txt");
    EXPECT_FALSE(QFileInfo::exists(path("no")));
    ASSERT_TRUE(QDir(r.dir.path()).mkpath("regs.txt"));
    writeFile("regs.txt/inside", "old");
    save("regs.txt");
    EXPECT_EQ(file("regs.txt/inside"), "old");
    EXPECT_EQ(QDir(path("regs.txt")).entryList(QDir::Files), QStringList{"inside"});
    ASSERT_EQ(r.prompts.messages.size(), 2u);
    for (const auto& m : r.prompts.messages)
        EXPECT_TRUE(m.text.contains("regs.txt\": ") && m.text.contains("could not be saved"))
            << m.text.toStdString();
    EXPECT_EQ(r.form->panels().ProgressBar1()->value(), 0);
    save("keep.txt");
    EXPECT_EQ(file("keep.txt").split('\n').size(), 69);
    EXPECT_EQ(files(), before); // no temporary file left over
}

// Each row loads one file; a load that writes is followed by one Read All.
TEST_F(Dump, LoadWritesWhatTheLinesHoldInLineOrderOrNothing) {
    r.form->reg_KORVA726(0x10)->setText("5A");
    save("one.txt"); // saved before any read
    Writes all;
    for (int a = 0; a <= 0x41; ++a) {
        if (a > 2) r.sim.setAfe(a, std::uint8_t(0xA0 ^ a));
        all.emplace_back(a, r.sim.afe(a));
    }
    r.form->ReadAllRegisterButton_Click();
    save("plain.txt");
    r.form->ShowHiddenModes();
    save("named.txt");
    QList<QByteArray> lines = file("named.txt").split('\n');
    QByteArray binary = file("named.txt");
    binary[500] = '\0';
    writeFile("binary.txt", binary);
    writeFile("short.txt", lines.mid(0, 42).join('\n') + '\n');
    // A line ending in 7F loads 7F whatever its name; swapped lines swap the registers.
    lines[2 + 0x10] = "Nonsense name of any length (0x99): 0x7F\r";
    std::swap(lines[2 + 0x11], lines[2 + 0x12]);
    writeFile("edited.txt", lines.join('\n'));
    Writes edited = all;
    edited[0x10].second = 0x7F;
    std::swap(edited[0x11].second, edited[0x12].second);
    for (int a = 3; a <= 0x41; ++a)
        r.sim.setAfe(a, 0);

    const struct {
        const char* file;
        Writes writes;
        const char* message; // what the one message says, "" for none
    } cases[] = {
        {"one.txt", {{0x10, 0x5A}}, "65 registers were left as they were"},
        {"edited.txt", edited, ""},
        {"named.txt", all, ""},
        {"plain.txt", all, ""},
        {"short.txt", {}, "42 lines"},
        {"binary.txt", {}, "not a text file"},
        {"gone.txt", {}, "does not exist"},
        {".", {}, "not a file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        r.prompts.messages.clear();
        progress.clear();
        EXPECT_EQ(load(c.file), c.writes);
        EXPECT_EQ(readAlls(), c.writes.empty() ? 0 : 1);
        EXPECT_EQ(r.sent().size(), c.writes.size() + (c.writes.empty() ? 0 : 2)); // nothing else
        // One step per register on the way, up to 100, then back to 0 (before the Read All).
        const auto zero = std::find(progress.begin(), progress.end(), 0) - progress.begin();
        EXPECT_TRUE(c.writes.empty() || (zero == 65 && progress[64] == 100)) << zero;
        ASSERT_EQ(r.prompts.messages.size(), *c.message ? 1u : 0u);
        if (!*c.message) continue;
        const QString text = r.prompts.messages[0].text;
        EXPECT_TRUE(text.contains(c.message)) << text.toStdString();
        EXPECT_TRUE(text.contains(QDir::toNativeSeparators(path(c.file)))) << text.toStdString();
        EXPECT_EQ(text.contains("No register was written"), c.writes.empty()) << text.toStdString();
    }
    EXPECT_FALSE(QFile::exists(path("gone.txt")));
    EXPECT_EQ(r.form->reg_KORVA726(0x41)->text(), QString::fromStdString(HexByte(0xA0 ^ 0x41)));

    r.sim.timeOutTransfer(9); // the packet of register 0x04 (two transfers per exchange)
    EXPECT_EQ(load("plain.txt"), Writes(all.begin(), all.begin() + 4)); // nothing after it
    EXPECT_EQ(readAlls(), 0);
    EXPECT_EQ(r.ended, 1);
}
