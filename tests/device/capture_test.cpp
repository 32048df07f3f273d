// The USB capture: board operations on the simulated board, recorded through CaptureLayer,
// read back with libpcap (header fields) and with tshark (what a user of Wireshark sees).
#include "device/board.h"
#include "device/capture_layer.h"
#include "device/sim_board.h"
#include "support/pcap_reader.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <tuple>
#include <utility>

using namespace korva;
using namespace korva::test;
using namespace std::string_literals;

namespace {

// The simulated board seen through the capture layer, as the program wires it, recording
// to `path` (default: usb.pcap in a folder of its own).
struct Rig {
    TempDir dir;
    std::string file;
    SimBoard sim;
    DeviceContext ctx;
    RecordingSink sink;
    std::unique_ptr<CaptureLayer> cap = std::make_unique<CaptureLayer>(sim, file);
    CommandLink link{*cap, ctx, sink};
    Board board{link};
    DriverHandle driver = 0;
    explicit Rig(const std::string& path = {}) : file(path.empty() ? dir / "usb.pcap" : path) {
        EXPECT_EQ(cap->init(&driver, {0x1234, 0x5678}, MakeEventTable(*cap, ctx)), 0u);
    }
    // The records of the file, once the layer has closed it.
    std::vector<UsbRecord> records() { return cap.reset(), readCapture(file); }
};

} // namespace

// Each transfer gives a submission and a completion record with its URB id: an exchange,
// one whose reply times out, a failed write (what was submitted, the failure mapped to
// usbmon's errno), a stream (all packets in flight before the first completes; the second
// fails, the third is cancelled) and an exchange without a board (no device number). The
// records reach the disk while the layer is open; after close() none are added.
TEST(CaptureRecords, EveryTransferIsAPairOfUsbmonRecords) {
    Rig r;
    r.sim.setFpga(0x10, 0x7F);
    EXPECT_EQ(r.board.ReadByte_FPGA(0x10), "127");
    // Read while the layer holds the file open, as after a crash: its own thread writes the
    // records out soon after.
    using Clock = std::chrono::steady_clock;
    for (auto end = Clock::now() + std::chrono::seconds(5);
         recordsSoFar(r.file) < 6 && Clock::now() < end;)
        std::this_thread::sleep_for(CaptureLayer::kFlushDelay / 4);
    ASSERT_EQ(readCapture(r.file).size(), 6u); // the descriptor exchange and the read
    r.sim.timeOutTransfer(2);
    EXPECT_EQ(r.board.ReadFpga(0x01), std::nullopt);
    Bytes bytes(150);
    std::iota(bytes.begin(), bytes.end(), 1);
    std::uint32_t n = 99;
    StreamReport report;
    r.sim.failTransfer(1, status::Overflow); // passed through unchanged
    EXPECT_EQ(
        r.cap->transferBulk(r.ctx.handle.load(), pipe::DataOut, 0, 0, bytes.data(), 1, &n, 30000),
        status::Overflow);
    EXPECT_EQ(n, 0u);
    r.sim.failTransfer(2, status::Pipe);
    EXPECT_EQ(r.link.Stream(pipe::DataOut, bytes.data(), 150, 64, &report), status::Pipe);
    EXPECT_EQ(std::tuple(report.failedPacket, report.accepted), std::tuple(1u, 1u));
    const int dev = CaptureLayer::deviceNumber(r.ctx.handle.load());
    EXPECT_NE(dev, 0);
    r.sim.unplug();
    EXPECT_FALSE(r.link.ExchangeCommand({0x30, 0x01}, CheckStyle::NotReported).ok);
    // Closed early: transfers go on to the board, the file stays as it was.
    r.sim.plug();
    r.cap->close();
    ASSERT_TRUE(r.board.Write_PORTA(0x03));
    EXPECT_EQ(r.sim.port('A'), 0x03);
    r.cap->close();
    const auto part = [&](int from, int to) { return Bytes(&bytes[0] + from, &bytes[0] + to); };
    // Type, endpoint, data flag, status, URB length, transfer (the records of one transfer
    // share its URB id), device number (the board's, else 0), data.
    using Row = std::tuple<char, int, char, int, unsigned, int, int, Bytes>;
    // clang-format off
    const Row expected[] = {
        {'S', 0x02, 0, -115, 64, 0, dev, packet({0x2E, 0x10})}, {'C', 0x02, '>', 0, 64, 0, dev, {}},
        {'S', 0x82, '<', -115, 64, 1, dev, {}}, {'C', 0x82, 0, 0, 64, 1, dev, packet({0x7F})},
        {'S', 0x02, 0, -115, 64, 2, dev, packet({0x2E, 0x01})}, {'C', 0x02, '>', 0, 64, 2, dev, {}},
        {'S', 0x82, '<', -115, 64, 3, dev, {}}, {'C', 0x82, 0, -110, 0, 3, dev, {}},
        {'S', 0x05, 0, -115, 1, 4, dev, {1}}, {'C', 0x05, '>', -5, 0, 4, dev, {}},
        {'S', 0x05, 0, -115, 64, 5, dev, part(0, 64)}, {'S', 0x05, 0, -115, 64, 6, dev, part(64, 128)},
        {'S', 0x05, 0, -115, 22, 7, dev, part(128, 150)}, {'C', 0x05, '>', 0, 64, 5, dev, {}},
        {'C', 0x05, '>', -32, 0, 6, dev, {}}, {'C', 0x05, '>', -2, 0, 7, dev, {}},
        {'S', 0x02, 0, -115, 64, 8, 0, packet({0x30, 0x01})}, {'C', 0x02, '>', -19, 0, 8, 0, {}},
        {'S', 0x82, '<', -115, 64, 9, 0, {}}, {'C', 0x82, 0, -19, 0, 9, 0, {}},
    };
    // clang-format on
    auto c = r.records();
    // First the board's GET_DESCRIPTOR exchange, once, carrying the identifiers it was
    // matched by; then the transfers.
    ASSERT_GE(c.size(), 2u);
    const Bytes setup{0x80, 6, 0, 1, 0, 0, 18, 0};
    const Bytes descriptor{18, 1, 0, 2, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(std::tuple(c[0].type, c[0].transferType, c[0].endpoint, c[0].device, c[0].setupFlag,
                         c[0].setup, c[0].urbLength, c[1].type, c[1].id - c[0].id, c[1].status,
                         c[1].data),
              std::tuple('S', 2, 0x80, dev, '\0', setup, 18u, 'C', 0u, 0, descriptor));
    c.erase(c.begin(), c.begin() + 2);
    std::vector<Row> got;
    std::int64_t last = 0;
    // clang-format off
    for (const auto& e : c) { // bulk, bus 1, no setup; the header's time is the record's and never goes back
        got.emplace_back(e.type, e.endpoint, e.dataFlag, e.status, e.urbLength, int(e.id - c[0].id), e.device, e.data);
        EXPECT_EQ(std::tuple(int(e.transferType), e.bus, e.setupFlag, e.tail, e.dataLength, e.header.len, e.sec, e.usec),
                  std::tuple(3, 1, '-', Bytes(16, 0), e.data.size(), 64 + e.data.size(), e.header.ts.tv_sec, e.header.ts.tv_usec)) << got.size();
        EXPECT_LE(std::exchange(last, e.sec * 1000000 + e.usec), e.sec * 1000000 + e.usec) << got.size();
    }
    EXPECT_EQ(got, std::vector<Row>(std::begin(expected), std::end(expected)));
    // What a user of Wireshark sees.
    if (std::system("tshark --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (apt-get install tshark); libpcap read the file";
    std::string shown = "'S'\t0x80\t\n'C'\t0x80\t\n"; // the descriptor exchange
    char field[16];
    for (const auto& [type, endpoint, flag, status, length, id, device, data] : expected) {
        shown += (std::snprintf(field, sizeof field, "'%c'\t0x%02x\t", type, endpoint), field);
        for (auto b : data)
            shown += (std::snprintf(field, sizeof field, "%02x", b), field);
        shown += "\n";
    }
    // clang-format on
    const std::string out = r.dir / "tshark.txt";
    // The bytes stay in usb.capdata whether or not the board's dissector is installed.
    const std::string fields = " -T fields -e usb.urb_type -e usb.endpoint_address -e usb.capdata";
    ASSERT_EQ(std::system(
                  ("tshark -r '" + r.file + "'" + fields + " >'" + out + "' 2>/dev/null").c_str()),
              0);
    EXPECT_EQ(slurp(out), shown);
}

// An unwritable path is a clear error and leaves the board's notices alone.
TEST(CaptureFile, UnwritablePathIsAClearError) {
    SimBoard sim;
    TempDir dir;
    using ::testing::ThrowsMessage, ::testing::StrEq;
    const std::pair<std::string, std::string> refused[] = {
        {"/nonexistent-korva/usb.pcap", "No such file or directory"},
        {dir.path.string(), "Is a directory"},
        {dir / std::string("usb\0.pcap", 9), "the file name holds a NUL byte"}};
    for (const auto& [path, why] : refused) {
        std::string shown = path; // a NUL shown as \0
        if (const auto nul = shown.find('\0'); nul != shown.npos) shown.replace(nul, 1, "\\0");
        EXPECT_THAT([&] { CaptureLayer cap(sim, path); },
                    ThrowsMessage<std::runtime_error>(
                        StrEq("cannot write capture file " + shown + ": " + why)));
    }
    EXPECT_FALSE(sim.onNotice);
}

// The file is made when the first record is written: a run that sends nothing leaves an
// existing file as it was. A write that fails (past a file size limit: EFBIG on the write
// that crosses it; /dev/full: no space) or a file that cannot be made then is told once, and
// the file ends with its last whole record.
TEST(CaptureFile, MadeWithTheFirstRecordAndCutToWholeRecordsWhenWritingFails) {
    struct Case {
        const char* path; // "" = a file that holds "old"
        int exchanges;    // each written out before the next
        rlim_t limit;     // file size limit, 0 = none
        bool folderGone;  // the file's folder is removed once the layer is open
        int records;      // in the file afterwards; -1: it still holds "old"; -2: not a file
        const char* notice;
    };
    const Case cases[] = {
        {"", 0, 0, false, -1, ""},
        {"", 1, 0, false, 6, ""},
        // After a 24-byte header the descriptor exchange (80 and 98 bytes), then records of
        // 144, 80, 80, 144 bytes an exchange: the tenth ends at 1098.
        {"", 4, 1100, false, 10, "failed (File too large); USB traffic is no longer recorded"},
        {"/dev/full", 2, 0, false, -2, ": No space left on device; USB traffic is not recorded"},
        {"", 2, 0, true, -2, ": No such file or directory; USB traffic is not recorded"}};
    for (const Case& c : cases) {
        TempDir dir;
        const std::string path = *c.path ? c.path : dir / "sub/usb.pcap";
        if (!*c.path) std::filesystem::create_directory(dir / "sub"), writeFile(path, "old"s);
        if (*c.path && !std::filesystem::exists(c.path)) continue;
        SCOPED_TRACE(path + " " + std::to_string(c.exchanges));
        std::vector<std::string> notices;
        {
            Rig r(path);
            r.cap->onNotice = [&](const std::string& t) { notices.push_back(t); };
            if (c.folderGone) std::filesystem::remove_all(dir / "sub");
            const FileSizeLimit limit(c.limit);
            for (int i = 0; i < c.exchanges; ++i)
                r.board.ReadByte_FPGA(0x10), r.cap->flush();
            r.cap->close();
        }
        EXPECT_EQ(notices.size(), *c.notice ? 1u : 0u) << testing::PrintToString(notices);
        for (const auto& n : notices)
            EXPECT_THAT(n, testing::AllOf(testing::HasSubstr(path), testing::HasSubstr(c.notice)));
        if (c.records == -1) {
            EXPECT_EQ(slurp(path), "old");
        } else if (c.records >= 0) {
            EXPECT_EQ(readCapture(path).size(), std::size_t(c.records));
        }
    }
}
