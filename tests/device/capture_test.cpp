// The USB capture: board operations on the simulated board, recorded through CaptureLayer,
// read back with libpcap (header fields) and with tshark (what a user of Wireshark sees).
#include "device/board.h"
#include "device/capture_layer.h"
#include "device/sim_board.h"
#include "support/pcap_reader.h"
#include "support/recording_sink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>

using namespace korva;
using korva::test::Bytes;
using korva::test::packet;
using korva::test::readCapture;

namespace {

// A capture file of its own for each test (tests run in parallel), removed afterwards.
struct TempPath {
    std::string path;
    TempPath() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path = (std::filesystem::temp_directory_path() /
                ("korva-capture-" + std::string(info->name()) + "-" + std::to_string(::getpid()) +
                 ".pcap"))
                   .string();
    }
    ~TempPath() { std::filesystem::remove(path); }
};

// The simulated board seen through the capture layer, as the program wires it.
struct Rig {
    TempPath file;
    SimBoard sim;
    DeviceContext ctx;
    test::RecordingSink sink;
    std::unique_ptr<CaptureLayer> cap = std::make_unique<CaptureLayer>(sim, file.path);
    CommandLink link{*cap, ctx, sink};
    Board board{link};
    DriverHandle driver = 0;
    Rig() { EXPECT_EQ(cap->init(&driver, MatchEntry{}, MakeEventTable(*cap, ctx)), 0u); }
    void finish() { cap.reset(); } // closes the file
};

std::string hex(const Bytes& b) {
    std::string s;
    for (auto v : b) {
        s += "0123456789abcdef"[v >> 4];
        s += "0123456789abcdef"[v & 15];
    }
    return s;
}

} // namespace

TEST(CaptureTshark, ListsEveryPacketWithItsEndpointAndBytesInOrder) {
    if (std::system("tshark --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (apt-get install tshark); the libpcap tests "
                        "below still check the file";
    Rig r;
    r.sim.setAfe(0, 0xA1);
    r.sim.setAfe(1, 0xB2);
    EXPECT_EQ(r.board.ReadBurstI2C(0x4C, 0, 2), "A1B2");
    Bytes block(64);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint8_t>(0xC0 + i);
    EXPECT_EQ(r.link.Bulk(pipe::DataOut, false, block.data(), 64), 0u);
    r.finish();

    const std::string command = "tshark -r '" + r.file.path +
                                "' -T fields -e usb.urb_type -e usb.endpoint_address"
                                " -e usb.capdata 2>/dev/null";
    FILE* out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string text;
    char buf[4096];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, out))
        text.append(buf, n);
    ASSERT_EQ(pclose(out), 0) << command;
    // The command out, the registers back in the reply, then a block on the raw data pipe.
    EXPECT_EQ(text, "'S'\t0x02\t" + hex(packet({0x03, 0x4C, 0x00, 0x02})) +
                        "\n'C'\t0x02\t\n'S'\t0x82\t\n'C'\t0x82\t" + hex(packet({0xA1, 0xB2})) +
                        "\n'S'\t0x05\t" + hex(block) + "\n'C'\t0x05\t\n");
}

TEST(CaptureRecords, AnExchangeIsTwoPairsOfUsbmonRecords) {
    Rig r;
    r.sim.setFpga(0x10, 0x7F);
    EXPECT_EQ(r.board.ReadByte_FPGA(0x10), "127");
    const DeviceHandle handle = r.ctx.handle.load();
    r.finish();

    const auto c = readCapture(r.file.path);
    ASSERT_EQ(c.size(), 4u);
    // Each completion carries its submission's URB id; the two transfers differ.
    EXPECT_EQ(c[0].id, c[1].id);
    EXPECT_EQ(c[2].id, c[3].id);
    EXPECT_NE(c[0].id, c[2].id);
    const std::tuple<char, int, char, int, Bytes> expected[] = {
        {'S', 0x02, 0, -115, packet({0x2E, 0x10})},
        {'C', 0x02, '>', 0, {}},
        {'S', 0x82, '<', -115, {}},
        {'C', 0x82, 0, 0, packet({0x7F})}};
    std::int64_t last = 0;
    for (std::size_t i = 0; i < c.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& rec = c[i];
        const auto& [type, endpoint, dataFlag, status, data] = expected[i];
        EXPECT_EQ(rec.type, type);
        EXPECT_EQ(rec.endpoint, endpoint);
        EXPECT_EQ(rec.dataFlag, dataFlag);
        EXPECT_EQ(rec.status, status);
        EXPECT_EQ(rec.data, data);
        EXPECT_EQ(rec.urbLength, 64u);
        EXPECT_EQ(rec.transferType, 3);
        EXPECT_EQ(rec.bus, 1);
        EXPECT_EQ(rec.device, CaptureLayer::deviceNumber(handle));
        EXPECT_NE(rec.device, 0);
        EXPECT_EQ(rec.setupFlag, '-');
        EXPECT_EQ(rec.tail, Bytes(16, 0));
        EXPECT_EQ(rec.dataLength, rec.data.size());
        EXPECT_EQ(rec.header.len, 64 + rec.dataLength);
        // The header's time is the record's time, and never goes back.
        EXPECT_EQ(rec.sec, rec.header.ts.tv_sec);
        EXPECT_EQ(rec.usec, rec.header.ts.tv_usec);
        EXPECT_LE(last, rec.sec * 1000000 + rec.usec);
        last = rec.sec * 1000000 + rec.usec;
    }
}

TEST(CaptureRecords, FailedTransfersCarryTheirErrnoAndNoInData) {
    Rig r;
    r.sim.timeOutTransfer(2); // the reply of the next exchange times out
    EXPECT_EQ(r.board.ReadFpga(0x01), std::nullopt);
    // Each failure the caller sees passes through unchanged, mapped to usbmon's errno.
    const DeviceHandle h = r.ctx.handle.load();
    const std::pair<Status, std::int32_t> cases[] = {
        {status::NoDevice, -19}, {status::Pipe, -32}, {status::Overflow, -5}, {status::Io, -5}};
    std::uint8_t byte = 0x01;
    for (const auto& [s, err] : cases) {
        r.sim.failTransfer(1, s);
        std::uint32_t transferred = 99;
        EXPECT_EQ(r.cap->transferBulk(h, pipe::DataOut, 0, 0, &byte, 1, &transferred, 30000), s);
        EXPECT_EQ(transferred, 0u);
    }
    // Without a board: no device number, and every completion says so.
    r.sim.unplug();
    EXPECT_FALSE(r.link.ExchangeCommand({0x30, 0x01}, CheckStyle::NotReported).ok);
    EXPECT_TRUE(r.sink.codes.empty());
    r.finish();

    const auto c = readCapture(r.file.path);
    ASSERT_EQ(c.size(), 4u + 2 * std::size(cases) + 4);
    EXPECT_EQ(c[3].type, 'C');
    EXPECT_EQ(c[3].endpoint, 0x82);
    EXPECT_EQ(c[3].status, -110);
    EXPECT_EQ(c[3].urbLength, 0u);
    EXPECT_TRUE(c[3].data.empty());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(c[4 + 2 * i].data, Bytes{0x01}); // what was submitted, even though it failed
        EXPECT_EQ(c[5 + 2 * i].status, cases[i].second) << statusName(cases[i].first);
        EXPECT_EQ(c[5 + 2 * i].urbLength, 0u);
    }
    const auto unplugged = c.end() - 4;
    EXPECT_EQ(unplugged[0].device, 0);
    EXPECT_EQ(unplugged[0].data, packet({0x30, 0x01}));
    EXPECT_EQ(unplugged[1].status, -19);
    EXPECT_EQ(unplugged[3].status, -19);
}

TEST(CaptureRecords, StreamedPacketsAreTransfersOfTheirOwnInFlightTogether) {
    Rig r;
    Bytes bytes(150);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i + 1);
    r.sim.failTransfer(2, status::Pipe);
    std::uint32_t sent = 0;
    EXPECT_EQ(r.link.Stream(pipe::DataOut, bytes.data(), 150, 64, &sent), status::Pipe);
    EXPECT_EQ(sent, 64u);
    r.finish();
    // All three go out before the first completes; the second fails, the third is cancelled.
    const auto part = [&](int from, int to) {
        return Bytes(bytes.begin() + from, bytes.begin() + to);
    };
    const std::tuple<char, int, int, Bytes> expected[] = {{'S', 0, -115, part(0, 64)},
                                                          {'S', 1, -115, part(64, 128)},
                                                          {'S', 2, -115, part(128, 150)},
                                                          {'C', 0, 0, {}},
                                                          {'C', 1, -32, {}},
                                                          {'C', 2, -2, {}}};
    const auto c = readCapture(r.file.path);
    ASSERT_EQ(c.size(), std::size(expected));
    for (std::size_t i = 0; i < c.size(); ++i) {
        const auto& [type, index, status, data] = expected[i];
        EXPECT_EQ(c[i].type, type) << i;
        EXPECT_EQ(c[i].id, c[0].id + index) << i;
        EXPECT_EQ(c[i].status, status) << i;
        EXPECT_EQ(c[i].data, data) << i;
        EXPECT_EQ(c[i].endpoint, 0x05) << i;
    }
}

TEST(CaptureFile, RecordsReachTheDiskWhileTheLayerIsOpen) {
    Rig r;
    r.board.Write_PORTA(0x0F);
    // Read while the layer still holds the file open, as after a crash: the layer's own
    // thread writes the records out soon after, and flush() at once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (readCapture(r.file.path).size() < 4 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(CaptureLayer::kFlushDelay / 4);
    const auto open = readCapture(r.file.path);
    ASSERT_EQ(open.size(), 4u);
    EXPECT_EQ(open[0].data, packet({0x30, 0x0F}));
    r.board.Write_PORTA(0x0E);
    r.cap->flush();
    EXPECT_EQ(readCapture(r.file.path).size(), 8u);
    // Closed early: transfers go on to the board, the file stays as it was.
    r.cap->close();
    r.board.Write_PORTA(0x03);
    EXPECT_EQ(r.sim.port('A'), 0x03);
    r.cap->close();
    r.finish();
    EXPECT_EQ(readCapture(r.file.path).size(), 8u);
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
    TempPath file;
    SimBoard sim;
    std::vector<std::string> before, after;
    sim.onNotice = [&](const std::string& t) { before.push_back(t); };
    {
        CaptureLayer cap(sim, file.path);
        sim.onNotice("first"); // the listener set earlier still hears it
        cap.onNotice = [&](const std::string& t) { after.push_back(t); };
        sim.onNotice("second");
    }
    sim.onNotice("third"); // the capture layer is gone: the earlier listener is back
    EXPECT_EQ(before, (std::vector<std::string>{"first", "third"}));
    EXPECT_EQ(after, std::vector<std::string>{"second"});
}
