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

#include <chrono>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <tuple>

using namespace korva;
using namespace korva::test;

namespace {

// The simulated board seen through the capture layer, as the program wires it.
struct Rig {
    TempDir dir;
    std::string file = dir / "usb.pcap";
    SimBoard sim;
    DeviceContext ctx;
    RecordingSink sink;
    std::unique_ptr<CaptureLayer> cap = std::make_unique<CaptureLayer>(sim, file);
    CommandLink link{*cap, ctx, sink};
    Board board{link};
    DriverHandle driver = 0;
    Rig() { EXPECT_EQ(cap->init(&driver, MatchEntry{}, MakeEventTable(*cap, ctx)), 0u); }
    // The records of the file, once the layer has closed it.
    std::vector<UsbRecord> records() {
        cap.reset();
        return readCapture(file);
    }
};

std::string hex(const Bytes& bytes) {
    std::string s;
    for (auto b : bytes)
        s += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    return s;
}

} // namespace

// Each transfer gives a submission and a completion record with its URB id: an exchange,
// one whose reply times out, failed writes (what was submitted, each failure mapped to
// usbmon's errno), a stream (all packets in flight before the first completes; the second
// fails, the third is cancelled) and an exchange without a board (no device number).
TEST(CaptureRecords, EveryTransferIsAPairOfUsbmonRecords) {
    Rig r;
    r.sim.setFpga(0x10, 0x7F);
    EXPECT_EQ(r.board.ReadByte_FPGA(0x10), "127");
    r.sim.timeOutTransfer(2);
    EXPECT_EQ(r.board.ReadFpga(0x01), std::nullopt);
    std::uint8_t byte = 0x01;
    for (Status s : {status::NoDevice, status::Pipe, status::Overflow, status::Io}) {
        r.sim.failTransfer(1, s);
        std::uint32_t transferred = 99;
        EXPECT_EQ(r.cap->transferBulk(r.ctx.handle.load(), pipe::DataOut, 0, 0, &byte, 1,
                                      &transferred, 30000),
                  s); // passed through unchanged
        EXPECT_EQ(transferred, 0u);
    }
    Bytes bytes(150);
    std::iota(bytes.begin(), bytes.end(), 1);
    r.sim.failTransfer(2, status::Pipe);
    std::uint32_t sent = 0;
    EXPECT_EQ(r.link.Stream(pipe::DataOut, bytes.data(), 150, 64, &sent), status::Pipe);
    EXPECT_EQ(sent, 64u);
    const int device = CaptureLayer::deviceNumber(r.ctx.handle.load());
    EXPECT_NE(device, 0);
    r.sim.unplug();
    EXPECT_FALSE(r.link.ExchangeCommand({0x30, 0x01}, CheckStyle::NotReported).ok);
    EXPECT_TRUE(r.sink.codes.empty());

    const auto part = [&](int from, int to) {
        return Bytes(bytes.begin() + from, bytes.begin() + to);
    };
    const struct {
        char type;
        int endpoint;
        char dataFlag;
        int status;
        unsigned urbLength;
        int transfer; // the records of one transfer share its URB id
        bool board;   // the device number is the board's, else 0
        Bytes data;
    } expected[] = {
        // clang-format off
        {'S', 0x02, 0, -115, 64, 0, true, packet({0x2E, 0x10})}, {'C', 0x02, '>', 0, 64, 0, true, {}},
        {'S', 0x82, '<', -115, 64, 1, true, {}}, {'C', 0x82, 0, 0, 64, 1, true, packet({0x7F})},
        {'S', 0x02, 0, -115, 64, 2, true, packet({0x2E, 0x01})}, {'C', 0x02, '>', 0, 64, 2, true, {}},
        {'S', 0x82, '<', -115, 64, 3, true, {}}, {'C', 0x82, 0, -110, 0, 3, true, {}},
        {'S', 0x05, 0, -115, 1, 4, true, {1}}, {'C', 0x05, '>', -19, 0, 4, true, {}},
        {'S', 0x05, 0, -115, 1, 5, true, {1}}, {'C', 0x05, '>', -32, 0, 5, true, {}},
        {'S', 0x05, 0, -115, 1, 6, true, {1}}, {'C', 0x05, '>', -5, 0, 6, true, {}},
        {'S', 0x05, 0, -115, 1, 7, true, {1}}, {'C', 0x05, '>', -5, 0, 7, true, {}},
        {'S', 0x05, 0, -115, 64, 8, true, part(0, 64)},
        {'S', 0x05, 0, -115, 64, 9, true, part(64, 128)},
        {'S', 0x05, 0, -115, 22, 10, true, part(128, 150)},
        {'C', 0x05, '>', 0, 64, 8, true, {}}, {'C', 0x05, '>', -32, 0, 9, true, {}},
        {'C', 0x05, '>', -2, 0, 10, true, {}},
        {'S', 0x02, 0, -115, 64, 11, false, packet({0x30, 0x01})}, {'C', 0x02, '>', -19, 0, 11, false, {}},
        {'S', 0x82, '<', -115, 64, 12, false, {}}, {'C', 0x82, 0, -19, 0, 12, false, {}},
        // clang-format on
    };
    const auto c = r.records();
    ASSERT_EQ(c.size(), std::size(expected));
    std::int64_t last = 0;
    for (std::size_t i = 0; i < c.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& e = c[i];
        const auto& x = expected[i];
        EXPECT_EQ(std::tuple(e.type, int(e.endpoint), e.dataFlag, e.status, e.urbLength,
                             int(e.id - c[0].id), int(e.device), e.data),
                  std::tuple(x.type, x.endpoint, x.dataFlag, x.status, x.urbLength, x.transfer,
                             x.board ? device : 0, x.data));
        // Bulk, bus 1, no setup, the header's time is the record's time.
        EXPECT_EQ(std::tuple(int(e.transferType), e.bus, e.setupFlag, e.tail, e.dataLength,
                             e.header.len, e.sec, e.usec),
                  std::tuple(3, 1, '-', Bytes(16, 0), e.data.size(), 64 + e.data.size(),
                             e.header.ts.tv_sec, e.header.ts.tv_usec));
        EXPECT_LE(last, e.sec * 1000000 + e.usec); // and never goes back
        last = e.sec * 1000000 + e.usec;
    }
    // What a user of Wireshark sees.
    if (std::system("tshark --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (apt-get install tshark); libpcap read the file";
    std::string shown;
    for (const auto& x : expected) {
        shown += std::string("'") + x.type + "'\t0x" + hex({std::uint8_t(x.endpoint)}) + "\t";
        shown += hex(x.data) + "\n";
    }
    const std::string out = r.dir / "tshark.txt";
    ASSERT_EQ(std::system(("tshark -r '" + r.file + "' -T fields -e usb.urb_type -e " +
                           "usb.endpoint_address -e usb.capdata >'" + out + "' 2>/dev/null")
                              .c_str()),
              0);
    EXPECT_EQ(slurp(out), shown);
}

TEST(CaptureFile, RecordsReachTheDiskWhileTheLayerIsOpen) {
    Rig r;
    r.board.Write_PORTA(0x0F);
    // Read while the layer still holds the file open, as after a crash: the layer's own
    // thread writes the records out soon after, and flush() at once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (readCapture(r.file).size() < 4 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(CaptureLayer::kFlushDelay / 4);
    const auto open = readCapture(r.file);
    ASSERT_EQ(open.size(), 4u);
    EXPECT_EQ(open[0].data, packet({0x30, 0x0F}));
    r.board.Write_PORTA(0x0E);
    r.cap->flush();
    EXPECT_EQ(readCapture(r.file).size(), 8u);
    // Closed early: transfers go on to the board, the file stays as it was.
    r.cap->close();
    r.board.Write_PORTA(0x03);
    EXPECT_EQ(r.sim.port('A'), 0x03);
    r.cap->close();
    EXPECT_EQ(r.records().size(), 8u);
}

TEST(CaptureFile, UnwritablePathIsAClearError) {
    SimBoard sim;
    const std::string folder = std::filesystem::temp_directory_path().string();
    const std::pair<std::string, std::string> cases[] = {
        {"/nonexistent-korva-folder/usb.pcap", "No such file or directory"},
        {folder, "Is a directory"},
        {"/dev/full", "No space left on device"}};
    for (const auto& [path, why] : cases) {
        if (path == "/dev/full" && !std::filesystem::exists(path)) continue;
        EXPECT_THAT([&] { CaptureLayer cap(sim, path); },
                    ::testing::ThrowsMessage<std::runtime_error>(
                        ::testing::StrEq("cannot write capture file " + path + ": " + why)));
    }
    EXPECT_FALSE(sim.onNotice); // a failed construction leaves the board's notices alone
}

TEST(CaptureFile, NoticesOfTheWrappedLayerReachTheCaptureLayersListener) {
    TempDir dir;
    SimBoard sim;
    std::vector<std::string> before, after;
    sim.onNotice = [&](const std::string& t) { before.push_back(t); };
    {
        CaptureLayer cap(sim, dir / "usb.pcap");
        sim.onNotice("first"); // the listener set earlier still hears it
        cap.onNotice = [&](const std::string& t) { after.push_back(t); };
        sim.onNotice("second");
    }
    sim.onNotice("third"); // the capture layer is gone: the earlier listener is back
    EXPECT_EQ(before, (std::vector<std::string>{"first", "third"}));
    EXPECT_EQ(after, std::vector<std::string>{"second"});
}
