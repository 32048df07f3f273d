// Save and Load of register dump files against the simulated board, with recorded prompts.
#include "afe/dump_commands.h"
#include "afe/dump_file.h"
#include "support/board_rig.h"
#include "support/fake_prompts.h"

#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace korva;

namespace {

using Writes = std::vector<std::pair<int, int>>;

struct Rig : test::BoardRig {
    QTemporaryDir dir;
    test::FakePrompts prompts;
    QProgressBar progress;
    std::array<QString, kAfeRegisterCount> boxes;
    bool hiddenModes = false;
    int reads = 0;
    std::vector<int> progressSeen;
    DumpCommands commands{board,
                          prompts,
                          nullptr,
                          &progress,
                          [this](int k) { return boxes.at(k); },
                          [this] { return hiddenModes; },
                          [this] { ++reads; }};

    Rig() {
        progress.setRange(0, 100);
        QObject::connect(&progress, &QProgressBar::valueChanged,
                         [this](int v) { progressSeen.push_back(v); });
        // Boxes as the panels show them before any read: empty, or two blanks for 5..15.
        for (int a = 0; a < kAfeRegisterCount; ++a)
            boxes[a] = (a >= 5 && a <= 15) ? "  " : "";
    }
    QString path(const char* name) { return dir.filePath(name); }
    QByteArray file(const QString& p) {
        QFile f(p);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    void writeFile(const QString& p, const QByteArray& bytes) {
        QFile f(p);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    void save(const QString& p) {
        prompts.fileAnswers.push_back(p);
        commands.Save();
    }
    // The single-register writes the load sent, as (address, value).
    Writes load(const QString& p) {
        sim.clearLog();
        prompts.fileAnswers.push_back(p);
        commands.Load();
        Writes w;
        for (const auto& packet : sent())
            if (packet[0] == opcode::WriteByteAfe) w.emplace_back(packet[1], packet[2]);
        return w;
    }
};

} // namespace

TEST(DumpCommands, DialogSetUpAndDefaultSuffix) {
    Rig r;
    r.commands.Load(); // cancelled
    ASSERT_EQ(r.prompts.fileRequests.size(), 1u);
    EXPECT_EQ(r.prompts.fileRequests[0].defaultSuffix, "TXT");
    EXPECT_EQ(r.prompts.fileRequests[0].filter, "Text File (*.TXT) |*.txt | All Files (*.*)|*.*|");
    EXPECT_TRUE(r.sim.log().empty());
    // A name typed without an extension gets the default one.
    r.save(r.path("plain"));
    EXPECT_TRUE(QFile::exists(r.path("plain.TXT")));
    EXPECT_EQ(r.commands.suggestedName(), r.path("plain.TXT"));
}

TEST(DumpCommands, SaveBeforeAnyReadLoadsAsNothingWritten) {
    Rig r;
    r.save(r.path("empty.txt"));
    const QList<QByteArray> lines = r.file(r.path("empty.txt")).split('\n');
    ASSERT_EQ(lines.size(), 69); // 68 lines, each ending in CR LF
    EXPECT_EQ(lines[2], "ID and Revision (0x00) : 0x\r");
    EXPECT_TRUE(lines[2 + 5].endsWith(": 0x  \r")) << lines[7].constData();
    EXPECT_TRUE(lines[2 + 0x10].endsWith(": 0x\r"));
    EXPECT_TRUE(r.sim.log().empty()); // saving does not read the chip
    // Progress steps to 100 after the last register line, then back to 0.
    ASSERT_GE(r.progressSeen.size(), 3u);
    EXPECT_EQ(r.progressSeen[r.progressSeen.size() - 2], 100);
    EXPECT_EQ(r.progressSeen.back(), 0);

    // Lines without a value leave their registers as they are, and the load says so.
    r.boxes[0x10] = "5A";
    r.save(r.path("one.txt"));
    r.progressSeen.clear();
    EXPECT_EQ(r.load(r.path("one.txt")), (Writes{{0x10, 0x5A}}));
    EXPECT_EQ(r.reads, 1); // then one read-back of all registers
    // One step per register on the way, then back to 0.
    EXPECT_EQ(r.progressSeen.size(), 66u);
    EXPECT_EQ(r.progressSeen[r.progressSeen.size() - 2], 100);
    EXPECT_EQ(r.progressSeen.back(), 0);
    ASSERT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_TRUE(r.prompts.messages[0].text.contains("65 registers were left as they were"))
        << r.prompts.messages[0].text.toStdString();
    EXPECT_TRUE(r.sink.codes.empty());
}

TEST(DumpCommands, NamesAreNotReadOnlyTheLineOrderCounts) {
    Rig r;
    for (int a = 0; a < kAfeRegisterCount; ++a)
        r.boxes[a] = QString::asprintf("%02X", (a + 0x40) & 0xFF);
    r.save(r.path("plain.txt"));
    r.hiddenModes = true;
    r.save(r.path("named.txt"));
    const QByteArray named = r.file(r.path("named.txt"));
    EXPECT_TRUE(named.split('\n')[2 + 0x20].startsWith("AFE Control (0x20)"));
    EXPECT_NE(named, r.file(r.path("plain.txt")));
    const Writes plain = r.load(r.path("plain.txt"));
    ASSERT_EQ(plain.size(), 66u);
    EXPECT_EQ(plain[0x20], std::make_pair(0x20, 0x60));
    EXPECT_EQ(r.load(r.path("named.txt")), plain);

    // A line ending in 7F loads 7F whatever its name; swapped lines swap the registers.
    QList<QByteArray> lines = named.split('\n');
    lines[2 + 0x10] = "Nonsense name of any length (0x99): 0x7F\r";
    std::swap(lines[2 + 0x11], lines[2 + 0x12]);
    r.writeFile(r.path("edited.txt"), lines.join('\n'));
    const Writes w = r.load(r.path("edited.txt"));
    ASSERT_EQ(w.size(), 66u);
    EXPECT_EQ(w[0x10], std::make_pair(0x10, 0x7F));
    EXPECT_EQ(w[0x11], std::make_pair(0x11, 0x52)); // the value saved for 0x12
    EXPECT_EQ(w[0x12], std::make_pair(0x12, 0x51));
}

TEST(DumpCommands, CancelAtTheOverwriteQuestionKeepsTheFile) {
    Rig r;
    const QByteArray before("precious\r\n\x01\x02 contents");
    r.writeFile(r.path("keep.txt"), before);
    r.prompts.confirmAnswers.push_back(false);
    r.save(r.path("keep.txt"));
    ASSERT_EQ(r.prompts.confirmations.size(), 1u);
    EXPECT_EQ(r.prompts.confirmations[0],
              "File Exists|File exists.  Press OK to overwrite, Cancel to abort.");
    EXPECT_EQ(r.file(r.path("keep.txt")), before);
    EXPECT_TRUE(r.prompts.messages.empty());
    EXPECT_TRUE(r.progressSeen.empty());
    EXPECT_EQ(QDir(r.dir.path()).entryList(QDir::Files), QStringList{"keep.txt"});

    r.prompts.confirmAnswers.push_back(true);
    r.save(r.path("keep.txt"));
    EXPECT_EQ(r.file(r.path("keep.txt")).split('\n').size(), 69);
}

TEST(DumpCommands, SaveThatCannotWriteSaysSoAndLeavesWhatWasThere) {
    Rig r;
    const QString missing = r.dir.filePath("no/such/folder/regs.txt");
    r.save(missing);
    EXPECT_FALSE(QFile::exists(missing));
    // A folder in the file's place: overwriting is confirmed, and still nothing changes.
    ASSERT_TRUE(QDir(r.dir.path()).mkpath("regs.txt"));
    r.writeFile(r.path("regs.txt/inside"), "old");
    r.save(r.path("regs.txt"));
    EXPECT_EQ(r.file(r.path("regs.txt/inside")), "old");
    EXPECT_EQ(QDir(r.path("regs.txt")).entryList(QDir::Files), QStringList{"inside"});
    ASSERT_EQ(r.prompts.messages.size(), 2u);
    for (const auto& m : r.prompts.messages) {
        EXPECT_TRUE(m.text.contains("regs.txt")) << m.text.toStdString();
        EXPECT_TRUE(m.text.contains("could not be saved")) << m.text.toStdString();
    }
    EXPECT_EQ(r.progress.value(), 0);
}

TEST(DumpCommands, ShortBinaryOrMissingFilesWriteNothingAndSayWhy) {
    Rig r;
    for (auto& box : r.boxes)
        box = "11";
    r.save(r.path("good.txt"));
    const QByteArray good = r.file(r.path("good.txt"));
    r.writeFile(r.path("short.txt"), good.split('\n').mid(0, 42).join('\n') + '\n');
    QByteArray binary = good;
    binary[500] = '\0';
    r.writeFile(r.path("binary.txt"), binary);

    const std::pair<QString, QString> cases[] = {{r.path("short.txt"), "42 lines"},
                                                 {r.path("binary.txt"), "not a text file"},
                                                 {r.path("gone.txt"), "does not exist"},
                                                 {r.dir.path(), "not a file"}};
    for (const auto& [file, why] : cases) {
        r.prompts.messages.clear();
        EXPECT_TRUE(r.load(file).empty());
        EXPECT_TRUE(r.sim.log().empty());
        ASSERT_EQ(r.prompts.messages.size(), 1u) << file.toStdString();
        const QString text = r.prompts.messages[0].text;
        EXPECT_TRUE(text.contains(QDir::toNativeSeparators(file))) << text.toStdString();
        EXPECT_TRUE(text.contains(why)) << text.toStdString();
        EXPECT_TRUE(text.contains("No register was written")) << text.toStdString();
    }
    EXPECT_EQ(r.reads, 0);
    EXPECT_FALSE(QFile::exists(r.path("gone.txt")));
}

TEST(DumpCommands, LoadStopsAtAReportedFailure) {
    Rig r;
    r.boxes.fill("11");
    r.save(r.path("regs.txt"));
    r.sim.clearLog();
    r.sim.timeOutTransfer(9); // the packet of register 0x04 (two transfers per exchange)
    EXPECT_EQ(r.load(r.path("regs.txt")).size(), 4u); // 0x00..0x03; nothing after the failure
    EXPECT_EQ(r.sink.codes.size(), 1u);
    EXPECT_EQ(r.reads, 0);
}
