// The bitstream download and the data-pipe probe on the simulated board: packet counts,
// the exact bytes on pipes 0x05 and 0x85, and what happens without a board or a file.
#include "support/board_rig.h"
#include "support/temp_dir.h"
#include "tools/download.h"

#include <gtest/gtest.h>

using namespace korva;
using namespace korva::test;

namespace {

struct Rig : BoardRig {
    TempDir dir;
    std::vector<bool> visibility;

    using BoardRig::BoardRig;
    DataPipeResult download(PipeTransferRecord* record = nullptr) {
        return DownloadBitstream(
            link, dir.path, [this](bool v) { visibility.push_back(v); }, record);
    }
};

Bytes ramp(std::size_t n) {
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return v;
}

} // namespace

// The count is length / 64 rounded half to even, plus one; after the one-byte start
// packet the file's bytes go out on pipe 0x05 padded with zeros to that many packets.
TEST(Download, EachLengthStreamsItsBytesInTheRoundedPacketCount) {
    const std::pair<std::size_t, std::uint64_t> table[] = {
        {0, 1}, {32, 1}, {33, 2}, {63, 2}, {64, 2}, {96, 3}, {128, 3}, {160, 3}, {224, 5}};
    for (auto [length, packets] : table) {
        SCOPED_TRACE(length);
        Rig r;
        writeFile(r.dir / kBitstreamFileName, ramp(length));
        PipeTransferRecord record;
        const auto result = r.download(&record);
        EXPECT_EQ(result.outcome, DataPipeResult::Outcome::Done);
        EXPECT_EQ(result.dataPackets, packets);
        EXPECT_EQ(record.pipeNumber, 5u);
        auto expected = ramp(length);
        expected.resize(packets * 64, 0);
        EXPECT_EQ(r.sim.streamed(), expected);
        const auto log = r.sim.log();
        ASSERT_EQ(log.size(), packets + 1);
        EXPECT_EQ(log[0].data, Bytes{0x00});
        for (const auto& t : log)
            EXPECT_EQ(std::tuple(t.pipe, t.in, t.data.size() == 64 || &t == &log[0], t.timeoutMs),
                      std::tuple(pipe::DataOut, false, true, 30000u));
        EXPECT_EQ(r.visibility, (std::vector<bool>{false, true}));
        EXPECT_TRUE(r.sink.codes.empty());
    }
}

TEST(Download, MissingFileOrNoBoardSendsNothing) {
    Rig r;
    auto result = r.download();
    EXPECT_EQ(result.outcome, DataPipeResult::Outcome::FileProblem);
    EXPECT_NE(result.error.find("fpga_top.bit"), std::string::npos) << result.error;
    EXPECT_NE(result.error.find("not found"), std::string::npos) << result.error;
    std::filesystem::create_directory(r.dir / kBitstreamFileName); // a folder of that name
    EXPECT_EQ(r.download().outcome, DataPipeResult::Outcome::FileProblem);
    result = ProbeDataPipes(r.link, r.dir.path, {});
    EXPECT_EQ(result.outcome, DataPipeResult::Outcome::FileProblem);
    EXPECT_NE(result.error.find("fpgatop.Bit"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(r.dir / kProbeFileName));
    EXPECT_TRUE(r.sim.log().empty());
    EXPECT_TRUE(r.visibility.empty());
    EXPECT_TRUE(r.sink.codes.empty());

    Rig none(false);
    EXPECT_EQ(none.download().outcome, DataPipeResult::Outcome::Reported);
    std::string shown;
    EXPECT_EQ(
        ProbeDataPipes(none.link, none.dir.path, [&](const std::string& t) { shown = t; }).outcome,
        DataPipeResult::Outcome::Reported);
    EXPECT_EQ(none.sink.codes, (std::vector<std::int16_t>{0}));
    EXPECT_TRUE(none.sim.log().empty());
    EXPECT_TRUE(shown.empty());
    EXPECT_TRUE(std::filesystem::is_empty(none.dir.path));
}

TEST(Download, FailedWriteIsReportedWithItsStatusAndStops) {
    for (int failAt : {1, 3}) { // the start packet, then the second data packet
        SCOPED_TRACE(failAt);
        Rig r;
        writeFile(r.dir / kBitstreamFileName, ramp(200));
        r.sim.failTransfer(failAt, status::Pipe);
        const auto result = r.download();
        EXPECT_EQ(result.outcome, DataPipeResult::Outcome::Reported);
        EXPECT_EQ(r.sink.codes, (std::vector<std::int16_t>{ErrorCodeForStatus(status::Pipe)}));
        EXPECT_EQ(r.sim.log().size(), static_cast<std::size_t>(failAt)); // nothing after it
        EXPECT_EQ(result.dataPackets, static_cast<std::uint64_t>(failAt == 1 ? 0 : 1));
    }
}

// The probe shows the file before anything is sent (other bytes as <XX>, long files cut
// with a note), then 64 zeros on 0x05 and one read on 0x85; a failed read is ErrMsg 0.
TEST(Probe, ShowsTheFileThenSendsZerosAndReadsOnce) {
    Rig r;
    writeFile(r.dir / kProbeFileName, Bytes{'A', 'b', '\r', '\n', 0x00, 0xFF, '\t', 'z'});
    std::vector<std::string> shown;
    const auto result = ProbeDataPipes(r.link, r.dir.path, [&](const std::string& t) {
        shown.push_back(t);
        EXPECT_TRUE(r.sim.log().empty());
    });
    EXPECT_EQ(result.outcome, DataPipeResult::Outcome::Done);
    EXPECT_EQ(shown, std::vector<std::string>{"Ab\n<00><FF>\tz"});
    const auto log = r.sim.log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(std::tuple(log[0].pipe, log[0].data), std::tuple(pipe::DataOut, Bytes(64, 0)));
    EXPECT_EQ(std::tuple(log[1].pipe, log[1].data.size()), std::tuple(pipe::DataIn, 64u));
    EXPECT_EQ(r.sim.startPackets(), 0);

    EXPECT_EQ(ProbeFileText(Bytes(10, 'x'), 5000),
              "xxxxxxxxxx\n\n[4990 more bytes not shown; 5000 bytes in all]");
    writeFile(r.dir / kProbeFileName, Bytes(kProbeShowLimit + 100, 'k'));
    std::string text;
    ProbeDataPipes(r.link, r.dir.path, [&](const std::string& t) { text = t; });
    EXPECT_EQ(text.substr(0, kProbeShowLimit), std::string(kProbeShowLimit, 'k'));
    EXPECT_NE(text.find("[100 more bytes not shown"), std::string::npos);
    r.sim.failTransfer(2, status::Timeout);
    ProbeDataPipes(r.link, r.dir.path, {});
    EXPECT_EQ(r.sink.codes, (std::vector<std::int16_t>{0}));
}

// However much is streamed, the simulated board's record stays bounded: off unless asked
// for, else the most recent transfers; the count of bytes streamed is always kept.
TEST(Download, SimulatedBoardKeepsABoundedRecord) {
    const Bytes bytes = ramp(1 << 20);
    const std::size_t packets = (1 << 14) + 1;
    for (std::size_t capacity : {0, 100}) {
        SCOPED_TRACE(capacity);
        Rig r;
        writeFile(r.dir / kBitstreamFileName, bytes);
        r.sim.setLogging(capacity > 0, capacity);
        ASSERT_EQ(r.download().dataPackets, packets);
        for (int i = 0; i < 1000; ++i) // and a thousand Read Alls after it
            r.board.ReadBurstI2C(kAfeI2cAddress, 0, 64);
        EXPECT_EQ(r.sim.log().size(), capacity);
        EXPECT_EQ(r.sim.streamedBytes(), packets * 64);
        r.sim.clearLog();
        r.download();
        Bytes padded = bytes;
        padded.resize(packets * 64, 0);
        EXPECT_EQ(r.sim.streamed(), Bytes(padded.end() - capacity * 64, padded.end()));
    }
}
