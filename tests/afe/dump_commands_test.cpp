// Save and Load of register dump files against the simulated board, with recorded prompts.
#include "afe/dump_commands.h"
#include "afe/dump_file.h"
#include "device/sim_board.h"
#include "support/board_rig.h"
#include "support/fake_prompts.h"
#include "support/recording_sink.h"

#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QTemporaryDir>
#include <cmath>
#include <gtest/gtest.h>

using namespace korva;
using korva::test::packet;
using korva::test::Packets;

namespace {

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
                          [this](int k) { return boxes.at(static_cast<std::size_t>(k)); },
                          [this] { return hiddenModes; },
                          [this] { readAll(); }};

    Rig() {
        progress.setRange(0, 100);
        QObject::connect(&progress, &QProgressBar::valueChanged,
                         [this](int v) { progressSeen.push_back(v); });
        // Boxes as the panels show them before any read: empty, or two blanks for 5..15.
        for (int a = 0; a < kAfeRegisterCount; ++a)
            boxes[static_cast<std::size_t>(a)] = (a >= 5 && a <= 15) ? "  " : "";
    }
    // What "Read All Registers" does: the chip's values into the boxes, in two bursts.
    void readAll() {
        ++reads;
        const std::string t =
            board.ReadBurstI2C(kAfeI2cAddress, 0, 33) + board.ReadBurstI2C(kAfeI2cAddress, 33, 33);
        for (int a = 0; a < kAfeRegisterCount; ++a)
            boxes[static_cast<std::size_t>(a)] = QString::fromStdString(t.substr(2 * a, 2));
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
    void load(const QString& p) {
        prompts.fileAnswers.push_back(p);
        commands.Load();
    }
    // The single-register writes sent, as (address, value).
    std::vector<std::pair<int, int>> writes() {
        std::vector<std::pair<int, int>> w;
        for (const auto& p : sim.commandPackets())
            if (p[0] == opcode::WriteByteAfe) w.emplace_back(p[1], p[2]);
        return w;
    }
};

std::vector<std::pair<int, int>> allWrites(const std::array<int, kAfeRegisterCount>& v) {
    std::vector<std::pair<int, int>> w;
    for (int a = 0; a < kAfeRegisterCount; ++a)
        w.emplace_back(a, v[static_cast<std::size_t>(a)]);
    return w;
}

} // namespace

TEST(DumpCommands, DialogSetUpAndRememberedName) {
    Rig r;
    r.commands.Save(); // cancelled
    r.commands.Load(); // cancelled
    ASSERT_EQ(r.prompts.fileRequests.size(), 2u);
    for (const auto& q : r.prompts.fileRequests) {
        EXPECT_EQ(q.fileName, "registers");
        EXPECT_EQ(q.defaultSuffix, "TXT");
        EXPECT_EQ(q.filter, "Text File (*.TXT) |*.txt | All Files (*.*)|*.*|");
    }
    EXPECT_TRUE(r.sim.log().empty());
    EXPECT_TRUE(r.prompts.messages.empty());

    r.save(r.path("first.TXT"));
    r.commands.Load();
    EXPECT_EQ(r.prompts.fileRequests.back().fileName, r.path("first.TXT"));
    // A name typed without an extension gets the default one.
    r.save(r.path("plain"));
    EXPECT_TRUE(QFile::exists(r.path("plain.TXT")));
    EXPECT_EQ(r.commands.suggestedName(), r.path("plain.TXT"));
}

TEST(DumpCommands, SaveBeforeAnyReadLoadsAsZeros) {
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

    r.progressSeen.clear();
    r.load(r.path("empty.txt"));
    EXPECT_EQ(r.writes(), allWrites({}));
    EXPECT_EQ(r.sim.afe(0x05), 0x00);
    EXPECT_EQ(r.reads, 1);
    EXPECT_EQ(r.progress.value(), 0);
    // One step per register, i / 65 of the way, then back to 0.
    std::vector<int> steps;
    for (int a = 1; a < kAfeRegisterCount; ++a) {
        const int v = static_cast<int>(std::lround(a * 100.0 / 65));
        if (steps.empty() || steps.back() != v) steps.push_back(v);
    }
    steps.push_back(0);
    EXPECT_EQ(r.progressSeen, steps);
    EXPECT_TRUE(r.prompts.messages.empty());
    EXPECT_TRUE(r.sink.codes.empty());
}

TEST(DumpCommands, RoundTripOfAllRegistersThroughTheBoard) {
    Rig r;
    std::array<int, kAfeRegisterCount> original{};
    for (int a = 0; a < kAfeRegisterCount; ++a) {
        original[static_cast<std::size_t>(a)] = (a * 37 + 11) & 0xFF;
        r.sim.setAfe(a, static_cast<std::uint8_t>(original[static_cast<std::size_t>(a)]));
    }
    r.readAll();
    r.save(r.path("all.txt"));
    for (int a = 0; a < kAfeRegisterCount; ++a)
        r.sim.setAfe(a, 0x5A);
    r.sim.clearLog();

    r.load(r.path("all.txt"));
    // Every register written in address order, then one read-back of all of them.
    const Packets sent = r.sim.commandPackets();
    ASSERT_EQ(sent.size(), 68u);
    for (int a = 0; a < kAfeRegisterCount; ++a)
        EXPECT_EQ(sent[static_cast<std::size_t>(a)],
                  packet({0x23, static_cast<std::uint8_t>(a),
                          static_cast<std::uint8_t>(original[static_cast<std::size_t>(a)])}));
    EXPECT_EQ(sent[66][0], opcode::ReadBurstI2C);
    EXPECT_EQ(sent[67][0], opcode::ReadBurstI2C);
    for (int a = 3; a < kAfeRegisterCount; ++a) // 0x00..0x02 are read-only on the chip
        EXPECT_EQ(r.sim.afe(a), original[static_cast<std::size_t>(a)]) << a;
}

TEST(DumpCommands, TestModeNamesLoadTheSameAndNamesAreNotRead) {
    Rig r;
    for (int a = 0; a < kAfeRegisterCount; ++a)
        r.boxes[static_cast<std::size_t>(a)] = QString::asprintf("%02X", (a + 0x40) & 0xFF);
    r.save(r.path("plain.txt"));
    r.hiddenModes = true;
    r.save(r.path("named.txt"));
    const QByteArray named = r.file(r.path("named.txt"));
    EXPECT_TRUE(named.split('\n')[2 + 0x20].startsWith("AFE Control (0x20)"));
    EXPECT_NE(named, r.file(r.path("plain.txt")));

    r.load(r.path("plain.txt"));
    const auto plainWrites = r.writes();
    r.sim.clearLog();
    r.load(r.path("named.txt"));
    EXPECT_EQ(r.writes(), plainWrites);

    // A line ending in 7F loads 7F whatever its name; swapped lines swap the registers.
    QList<QByteArray> lines = named.split('\n');
    lines[2 + 0x10] = "Nonsense name of any length (0x99): 0x7F\r";
    std::swap(lines[2 + 0x11], lines[2 + 0x12]);
    r.writeFile(r.path("edited.txt"), lines.join('\n'));
    r.sim.clearLog();
    r.load(r.path("edited.txt"));
    const auto w = r.writes();
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

TEST(DumpCommands, SaveThatCannotWriteSaysSoAndLeavesNoFile) {
    Rig r;
    const QString p = r.dir.filePath("no/such/folder/regs.txt");
    r.save(p);
    ASSERT_EQ(r.prompts.messages.size(), 1u);
    EXPECT_TRUE(r.prompts.messages[0].text.contains("regs.txt"));
    EXPECT_TRUE(r.prompts.messages[0].text.contains("could not be saved"));
    EXPECT_FALSE(QFile::exists(p));
    EXPECT_EQ(r.progress.value(), 0);
}

TEST(DumpCommands, ShortBinaryOrMissingFilesWriteNothingAndSayWhy) {
    Rig r;
    for (int a = 0; a < kAfeRegisterCount; ++a)
        r.boxes[static_cast<std::size_t>(a)] = "11";
    r.save(r.path("good.txt"));
    const QList<QByteArray> lines = r.file(r.path("good.txt")).split('\n');
    r.writeFile(r.path("short.txt"), lines.mid(0, 42).join('\n') + '\n'); // 40 register lines
    QByteArray binary = r.file(r.path("good.txt"));
    binary[500] = '\0';
    r.writeFile(r.path("binary.txt"), binary);
    r.sim.clearLog();

    struct Case {
        QString file;
        QString why;
    };
    for (const Case& c :
         {Case{r.path("short.txt"), "42 lines"}, Case{r.path("binary.txt"), "not a text file"},
          Case{r.path("gone.txt"), "does not exist"}, Case{r.dir.path(), "not a file"}}) {
        r.prompts.messages.clear();
        r.load(c.file);
        ASSERT_EQ(r.prompts.messages.size(), 1u) << c.file.toStdString();
        const QString text = r.prompts.messages[0].text;
        EXPECT_TRUE(text.contains(QDir::toNativeSeparators(c.file))) << text.toStdString();
        EXPECT_TRUE(text.contains(c.why)) << text.toStdString();
        EXPECT_TRUE(text.contains("No register was written")) << text.toStdString();
    }
    EXPECT_TRUE(r.sim.log().empty());
    EXPECT_EQ(r.reads, 0);
    EXPECT_FALSE(QFile::exists(r.path("gone.txt")));
}

TEST(DumpCommands, LoadStopsAtAReportedFailure) {
    Rig r;
    r.save(r.path("regs.txt"));
    r.sim.clearLog();
    r.sim.timeOutTransfer(9); // the packet of register 0x04 (two transfers per exchange)
    r.load(r.path("regs.txt"));
    EXPECT_EQ(r.sink.codes.size(), 1u);
    EXPECT_EQ(r.writes().size(), 4u); // 0x00..0x03; nothing after the failed one
    EXPECT_EQ(r.reads, 0);
}
