// The bitstream download and the data-pipe probe on the simulated board: packet counts,
// the exact bytes on pipes 0x05 and 0x85, and what happens without a board or a file.
#include "support/board_rig.h"
#include "support/temp_dir.h"
#include "tools/download.h"

#include <gtest/gtest.h>

using namespace korva;
using namespace korva::test;
using Codes = std::vector<std::int16_t>;
using enum DataPipeResult::Outcome;

struct Rig : BoardRig {
    TempDir dir;
    std::vector<bool> visibility;

    using BoardRig::BoardRig;
    DataPipeResult download(const DownloadProgress& progress = {}) {
        return DownloadBitstream(
            link, dir.path, [this](bool v) { visibility.push_back(v); }, nullptr, progress);
    }
};

// n bytes of a pattern, then zeros up to `size`.
Bytes ramp(std::size_t n, std::size_t size = 0) {
    Bytes v(std::max(n, size));
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return v;
}

// The count is length / 64 rounded half to even, plus one; after the one-byte start
// packet the file's bytes go out on pipe 0x05 padded with zeros to that many packets.
TEST(Download, EachLengthStreamsItsBytesInTheRoundedPacketCount) {
    const std::pair<std::size_t, std::uint64_t> rows[] = {{0, 1},  {32, 1},  {33, 2}, {64, 2},
                                                          {96, 3}, {160, 3}, {224, 5}};
    for (auto [length, packets] : rows) {
        SCOPED_TRACE(length);
        Rig r;
        writeFile(r.dir / kBitstreamFileName, ramp(length));
        const auto result = r.download();
        const auto log = r.sim.log();
        EXPECT_EQ(std::tuple(result.outcome, result.dataPackets, log.size(), r.sink.codes.size(),
                             r.sim.streamed(), r.visibility),
                  std::tuple(Done, packets, packets + 1, 0u, ramp(length, packets * 64),
                             std::vector<bool>{false, true}));
        // clang-format off
        for (const auto& t : log) // the start packet is one zero byte
            EXPECT_EQ(std::tuple(t.pipe, t.in, &t == &log[0] ? t.data == Bytes{0} : t.data.size() == 64, t.timeoutMs),
                      std::tuple(pipe::DataOut, false, true, 30000u));
        // clang-format on
    }
}

// After each block of 1024 packets the progress callback hears how far the download is and
// may stop it; a file that shrinks under the download stops it before the block it was read
// for, naming the offset. Either way nothing goes after the packets counted, and the button
// comes back.
TEST(Download, StopsAfterABlockWhenAskedOrWhenTheFileEndsEarly) {
    // The length the callback cuts the file to after the first block (0: left as it is),
    // and whether it lets the download go on; the outcome and the error's text.
    // clang-format off
    struct Row { std::uintmax_t truncate; bool go; DataPipeResult::Outcome outcome; const char* error; };
    const Row rows[] = {
        {0, false, Stopped, ""},
        {1000, true, FileProblem, "read at byte 65536 (it has become shorter than the 131072 bytes"},
        {70000, true, FileProblem, "read at byte 70000 (it has become shorter"},
    };
    // clang-format on
    const Bytes bitstream = ramp(131072); // 2049 packets: two blocks of 1024, then one
    using Calls = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        Rig r;
        const std::filesystem::path file = r.dir.path / kBitstreamFileName;
        writeFile(file, bitstream);
        Calls calls;
        const auto result = r.download([&](std::uint64_t sent, std::uint64_t total) {
            calls.emplace_back(sent, total);
            if (row.truncate) std::filesystem::resize_file(file, row.truncate);
            return row.go;
        });
        EXPECT_EQ(
            std::tuple(result.outcome, result.dataPackets, calls, r.sim.streamed(), r.visibility),
            std::tuple(row.outcome, 1024u, Calls{{1024, 2049}},
                       Bytes(bitstream.begin(), bitstream.begin() + 65536),
                       std::vector<bool>{false, true}));
        EXPECT_NE(result.error.find(row.error), std::string::npos) << result.error;
    }
}

// Without its file nothing is sent and nothing is created (without a board: the debug
// controls' test). The probe shows the file before anything is sent (other bytes as <XX>,
// long files cut with a note), then 64 zeros on 0x05 and one read on 0x85; a failed read
// is ErrMsg 0.
TEST(Probe, MissingFilesSendNothingAndTheProbeShowsTheFileThenSendsZerosAndReadsOnce) {
    Rig r;
    const auto missing = r.download();
    EXPECT_NE(missing.error.find("fpga_top.bit\" was not found"), std::string::npos);
    std::filesystem::create_directory(r.dir / kBitstreamFileName); // a folder of that name
    const auto folder = r.download();
    const auto probe = ProbeDataPipes(r.link, r.dir.path, {});
    EXPECT_EQ(std::tuple(missing.outcome, folder.outcome, probe.outcome, r.sim.log().size(),
                         r.visibility.size(), r.sink.codes.size(),
                         std::filesystem::exists(r.dir / kProbeFileName)),
              std::tuple(FileProblem, FileProblem, FileProblem, 0u, 0u, 0u, false));

    writeFile(r.dir / kProbeFileName, Bytes{'A', 'b', '\r', '\n', 0x00, 0xFF, '\t', 'z'});
    std::string shown; // each text, and the transfers made when it showed
    const auto show = [&](const std::string& t) {
        shown = t + "|" + std::to_string(r.sim.log().size());
    };
    EXPECT_EQ(ProbeDataPipes(r.link, r.dir.path, show).outcome, Done);
    EXPECT_EQ(shown, "Ab\n<00><FF>\tz|0");
    const auto log = r.sim.log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(std::tuple(log[0].pipe, log[0].data, log[1].pipe, log[1].data.size()),
              std::tuple(pipe::DataOut, Bytes(64, 0), pipe::DataIn, 64u));
    writeFile(r.dir / kProbeFileName, Bytes(kProbeShowLimit + 100, 'k'));
    ProbeDataPipes(r.link, r.dir.path, show);
    EXPECT_EQ(shown, std::string(kProbeShowLimit, 'k') +
                         "\n\n[100 more bytes not shown; 4196 bytes in all]|2");
    r.sim.failTransfer(2, status::Timeout);
    ProbeDataPipes(r.link, r.dir.path, {});
    EXPECT_EQ(r.sink.codes, Codes{0});
}

// However much is streamed, the simulated board's record stays bounded: off unless asked
// for, else the most recent transfers; the count of bytes streamed is always kept. A failed
// start packet (a failed data packet: the libusb download test) is reported with its status
// and nothing goes after it.
TEST(Download, SimulatedBoardKeepsABoundedRecord) {
    const std::size_t packets = (1 << 14) + 1;
    const Bytes padded = ramp(1 << 20, packets * 64);
    for (std::size_t capacity : {0, 100}) {
        SCOPED_TRACE(capacity);
        Rig r;
        writeFile(r.dir / kBitstreamFileName, ramp(1 << 20));
        r.sim.setLogging(capacity > 0, capacity);
        ASSERT_EQ(r.download().dataPackets, packets);
        for (int i = 0; i < 1000; ++i) // and a thousand Read Alls after it
            r.board.ReadBurstI2C(kAfeI2cAddress, 0, 64);
        EXPECT_EQ(std::pair(r.sim.log().size(), r.sim.streamedBytes()),
                  std::pair(capacity, packets * 64));
        r.sim.clearLog();
        r.download();
        EXPECT_EQ(r.sim.streamed(), Bytes(padded.end() - capacity * 64, padded.end()));
        r.sim.failTransfer(1, status::Pipe); // a failed start packet: reported, nothing after it
        const auto failed = r.download();
        EXPECT_EQ(
            std::tuple(failed.outcome, failed.dataPackets, r.sim.streamedBytes(), r.sink.codes),
            std::tuple(Reported, 0u, 2 * packets * 64, Codes{ErrorCodeForStatus(status::Pipe)}));
    }
}
