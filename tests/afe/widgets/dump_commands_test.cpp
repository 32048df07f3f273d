// Save and Load of register dump files from the main window's menu, on the simulated board,
// with recorded prompts and dialogs.
#include "afe/widgets/register_panels.h"
#include "support/form_rig.h"

#include <QAction>
#include <gtest/gtest.h>

using namespace korva;
using namespace korva::test;

namespace {

using Writes = std::vector<std::pair<int, int>>;

struct Dump : ::testing::Test {
    FormRig r;
    void SetUp() override { ASSERT_TRUE(r.start()); }
    QString path(const char* name) { return r.dir.filePath(name); }
    QByteArray file(const char* name) {
        QFile f(path(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    void menu(const char* item, const char* file) {
        r.prompts.messages.clear();
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
};

} // namespace

TEST_F(Dump, SaveWritesTheBoxesAsTheyStandAndReplacesAFileOnlyWhenAllowedAndWhole) {
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
    ASSERT_EQ(r.prompts.fileRequests.size(), 2u); // each dialog suggests the name chosen last
    EXPECT_EQ(r.prompts.fileRequests[0].fileName, "registers");
    EXPECT_EQ(r.prompts.fileRequests[1].fileName, path("plain.TXT"));
    // An overwrite refused, a missing folder, a folder in the file's place (overwrite
    // confirmed): nothing changes on the disk; then a confirmed overwrite replaces the file.
    r.writeFile("keep.txt", "precious\r\n\x01\x02 contents");
    ASSERT_TRUE(QDir(r.dir.path()).mkpath("regs.txt/inside"));
    const QStringList before = QDir(r.dir.path()).entryList(QDir::Files);
    r.prompts.confirmAnswers = {false};
    for (const char* name : {"keep.txt", "no/such/folder/regs.txt", "regs.txt"}) {
        save(name);
        ASSERT_EQ(r.prompts.messages.size(), name[0] == 'k' ? 0u : 1u) << name;
        for (const auto& m : r.prompts.messages)
            EXPECT_TRUE(m.text.contains("regs.txt\": ") && m.text.contains("could not be saved"))
                << m.text.toStdString();
    }
    EXPECT_EQ(r.prompts.confirmations.size(), 2u); // the missing folder's file does not exist
    EXPECT_EQ(file("keep.txt"), "precious\r\n\x01\x02 contents");
    EXPECT_FALSE(QFileInfo::exists(path("no")));
    EXPECT_EQ(QDir(path("regs.txt")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{"inside"});
    save("keep.txt");
    EXPECT_EQ(file("keep.txt").split('\n').size(), 69);
    EXPECT_EQ(QDir(r.dir.path()).entryList(QDir::Files), before); // no temporary file left
}

// Each row loads one file; a load that writes is followed by one Read All.
TEST_F(Dump, LoadWritesWhatTheLinesHoldOrNothing) {
    r.form->reg_KORVA726(0x10)->setText("5A");
    save("one.txt"); // saved before any read
    r.form->ReadAllRegisterButton_Click();
    save("all.txt");
    r.writeFile("short.txt", file("all.txt").split('\n').mid(0, 42).join('\n') + '\n');
    const struct {
        const char* file;
        Writes writes;
        const char* message; // what the one message says
    } cases[] = {{"one.txt", {{0x10, 0x5A}}, "65 registers were left as they were"},
                 {"short.txt", {}, "42 lines"},
                 {".", {}, "not a file"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(load(c.file), c.writes);
        const Packets sent = r.sent(); // the writes, then Read All, nothing else
        EXPECT_EQ(sent.size(), c.writes.size() + (c.writes.empty() ? 0 : 2));
        EXPECT_TRUE(c.writes.empty() || sent.back() == packet({0x03, 0x4C, 0x40, 0x02}));
        ASSERT_EQ(r.prompts.messages.size(), 1u);
        const QString text = r.prompts.messages[0].text;
        EXPECT_TRUE(text.contains(c.message) &&
                    text.contains(QDir::toNativeSeparators(path(c.file))))
            << text.toStdString();
        EXPECT_EQ(text.contains("No register was written"), c.writes.empty()) << text.toStdString();
    }
    // A failed write ends the load there: nothing after it, no Read All, the program ends.
    r.sim.timeOutTransfer(9); // the packet of register 0x04 (two transfers per exchange)
    const Writes loaded = load("all.txt");
    EXPECT_EQ(r.sent().size(), 4u);
    EXPECT_EQ(loaded.back(), std::make_pair(3, int(r.sim.afe(3))));
    EXPECT_EQ(r.ended, 1);
}
