// The USB capture: board operations on the simulated board, recorded through CaptureLayer,
// read back with libpcap (header fields) and with tshark (what a user of Wireshark sees).
#include "device/board.h"
#include "device/capture_layer.h"
#include "device/sim_board.h"
#include "support/recording_sink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>

using namespace korva;
using korva::test::packet;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A capture file of its own for each test (tests run in parallel), removed afterwards.
struct TempPath {
    std::string path;
    TempPath() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path = (std::filesystem::temp_directory_path() /
                ("korva-capture-" + std::string(info->test_suite_name()) + "-" + info->name() +
                 "-" + std::to_string(::getpid()) + ".pcap"))
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

template <typename T> T le(const std::uint8_t* p) {
    std::make_unsigned_t<T> v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        v |= static_cast<std::make_unsigned_t<T>>(static_cast<std::make_unsigned_t<T>>(p[i])
                                                  << (8 * i));
    return static_cast<T>(v);
}

// One record of the file, its usbmon header decoded.
struct UsbRecord {
    std::uint64_t id;
    char type;
    std::uint8_t transferType, endpoint, device;
    std::uint16_t bus;
    char setupFlag, dataFlag;
    std::int64_t sec;
    std::int32_t usec, status;
    std::uint32_t urbLength, dataLength;
    Bytes setup, tail, data;
    timeval ts;
    std::uint32_t caplen, len;
};

struct Capture {
    int linkType = -1;
    std::vector<UsbRecord> records;
};

Capture readCapture(const std::string& path) {
    Capture c;
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(path.c_str(), err);
    if (!p) {
        ADD_FAILURE() << "libpcap cannot read " << path << ": " << err;
        return c;
    }
    c.linkType = pcap_datalink(p);
    pcap_pkthdr* h = nullptr;
    const u_char* d = nullptr;
    while (pcap_next_ex(p, &h, &d) == 1) {
        if (h->caplen < 64) {
            ADD_FAILURE() << "record shorter than the usbmon header: " << h->caplen;
            break;
        }
        UsbRecord r{};
        r.id = le<std::uint64_t>(d);
        r.type = static_cast<char>(d[8]);
        r.transferType = d[9];
        r.endpoint = d[10];
        r.device = d[11];
        r.bus = le<std::uint16_t>(d + 12);
        r.setupFlag = static_cast<char>(d[14]);
        r.dataFlag = static_cast<char>(d[15]);
        r.sec = le<std::int64_t>(d + 16);
        r.usec = le<std::int32_t>(d + 24);
        r.status = le<std::int32_t>(d + 28);
        r.urbLength = le<std::uint32_t>(d + 32);
        r.dataLength = le<std::uint32_t>(d + 36);
        r.setup.assign(d + 40, d + 48);
        r.tail.assign(d + 48, d + 64);
        r.data.assign(d + 64, d + h->caplen);
        r.ts = h->ts;
        r.caplen = h->caplen;
        r.len = h->len;
        c.records.push_back(std::move(r));
    }
    pcap_close(p);
    return c;
}

std::string hex(const Bytes& b) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (auto v : b) {
        s += digits[v >> 4];
        s += digits[v & 15];
    }
    return s;
}

Bytes reply(std::initializer_list<std::uint8_t> head) {
    return packet(head);
}

} // namespace

// --- What tshark shows -------------------------------------------------------------------

TEST(CaptureTshark, ListsEveryPacketWithItsEndpointAndBytesInOrder) {
    if (std::system("tshark --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (apt-get install tshark); the libpcap tests "
                        "below still check the file";
    Rig r;
    r.sim.setAfe(0, 0xA1);
    r.sim.setAfe(1, 0xB2);
    r.sim.setAfe(2, 0xC3);
    r.sim.setAfe(3, 0xD4);
    r.board.WriteByte_AFE(0x05, 0x80);
    EXPECT_EQ(r.board.ReadBurstI2C(0x4C, 0, 4), "A1B2C3D4");
    std::uint8_t start = 0x01;
    EXPECT_EQ(r.link.Bulk(pipe::DataOut, false, &start, 1), 0u);
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

    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    const std::string zeros = hex(Bytes(64, 0));
    const std::vector<std::string> expected = {
        // WriteByte_AFE: the command out, its 64 zero bytes back
        "'S'\t0x02\t" + hex(packet({0x23, 0x05, 0x80})),
        "'C'\t0x02\t",
        "'S'\t0x82\t",
        "'C'\t0x82\t" + zeros,
        // ReadBurstI2C: the registers come back in the reply
        "'S'\t0x02\t" + hex(packet({0x03, 0x4C, 0x00, 0x04})),
        "'C'\t0x02\t",
        "'S'\t0x82\t",
        "'C'\t0x82\t" + hex(reply({0xA1, 0xB2, 0xC3, 0xD4})),
        // the raw data pipe: a start packet of one byte, then a block of 64
        "'S'\t0x05\t01",
        "'C'\t0x05\t",
        "'S'\t0x05\t" + hex(block),
        "'C'\t0x05\t",
    };
    EXPECT_EQ(lines, expected);
}

// --- The records, read back with libpcap --------------------------------------------------

TEST(CaptureRecords, AnExchangeIsTwoPairsOfUsbmonRecords) {
    Rig r;
    r.sim.setFpga(0x10, 0x7F);
    EXPECT_EQ(r.board.ReadByte_FPGA(0x10), "127");
    const DeviceHandle handle = r.ctx.handle.load();
    r.finish();

    const Capture c = readCapture(r.file.path);
    EXPECT_EQ(c.linkType, 220);
    ASSERT_EQ(c.records.size(), 4u);
    const auto& outS = c.records[0];
    const auto& outC = c.records[1];
    const auto& inS = c.records[2];
    const auto& inC = c.records[3];

    // Each completion carries its submission's URB id; the two transfers differ.
    EXPECT_EQ(outS.id, outC.id);
    EXPECT_EQ(inS.id, inC.id);
    EXPECT_NE(outS.id, inS.id);

    for (const auto& rec : c.records) {
        EXPECT_EQ(rec.transferType, 3);
        EXPECT_EQ(rec.bus, 1);
        EXPECT_EQ(rec.device, CaptureLayer::deviceNumber(handle));
        EXPECT_NE(rec.device, 0);
        EXPECT_EQ(rec.setupFlag, '-');
        EXPECT_EQ(rec.tail, Bytes(16, 0));
        EXPECT_EQ(rec.dataLength, rec.data.size());
        EXPECT_EQ(rec.caplen, 64 + rec.dataLength);
        EXPECT_EQ(rec.len, rec.caplen);
        // The header's time is the record's time.
        EXPECT_EQ(rec.sec, rec.ts.tv_sec);
        EXPECT_EQ(rec.usec, rec.ts.tv_usec);
    }
    for (std::size_t i = 1; i < c.records.size(); ++i) {
        const auto& a = c.records[i - 1];
        const auto& b = c.records[i];
        EXPECT_LE(a.sec * 1000000 + a.usec, b.sec * 1000000 + b.usec);
    }

    EXPECT_EQ(outS.type, 'S');
    EXPECT_EQ(outS.endpoint, 0x02);
    EXPECT_EQ(outS.dataFlag, 0);
    EXPECT_EQ(outS.status, -115);
    EXPECT_EQ(outS.urbLength, 64u);
    EXPECT_EQ(outS.data, packet({0x2E, 0x10}));

    EXPECT_EQ(outC.type, 'C');
    EXPECT_EQ(outC.endpoint, 0x02);
    EXPECT_EQ(outC.dataFlag, '>');
    EXPECT_EQ(outC.status, 0);
    EXPECT_EQ(outC.urbLength, 64u);
    EXPECT_TRUE(outC.data.empty());

    EXPECT_EQ(inS.type, 'S');
    EXPECT_EQ(inS.endpoint, 0x82);
    EXPECT_EQ(inS.dataFlag, '<');
    EXPECT_EQ(inS.status, -115);
    EXPECT_EQ(inS.urbLength, 64u);
    EXPECT_TRUE(inS.data.empty());

    EXPECT_EQ(inC.type, 'C');
    EXPECT_EQ(inC.endpoint, 0x82);
    EXPECT_EQ(inC.dataFlag, 0);
    EXPECT_EQ(inC.status, 0);
    EXPECT_EQ(inC.urbLength, 64u);
    EXPECT_EQ(inC.data, reply({0x7F}));
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
    r.finish();

    const Capture c = readCapture(r.file.path);
    ASSERT_EQ(c.records.size(), 4u + 2 * std::size(cases));
    const auto& timedOut = c.records[3];
    EXPECT_EQ(timedOut.type, 'C');
    EXPECT_EQ(timedOut.endpoint, 0x82);
    EXPECT_EQ(timedOut.status, -110);
    EXPECT_EQ(timedOut.urbLength, 0u);
    EXPECT_TRUE(timedOut.data.empty());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& s = c.records[4 + 2 * i];
        const auto& done = c.records[5 + 2 * i];
        EXPECT_EQ(s.status, -115);
        EXPECT_EQ(s.data, Bytes{0x01}); // what was submitted, even though it failed
        EXPECT_EQ(done.status, cases[i].second) << "status " << statusName(cases[i].first);
        EXPECT_EQ(done.urbLength, 0u);
    }
}

TEST(CaptureRecords, UnpluggedBoardGivesNoDeviceCompletions) {
    Rig r;
    r.sim.unplug();
    EXPECT_FALSE(r.link.ExchangeCommand({0x30, 0x01}, CheckStyle::NotReported).ok);
    EXPECT_TRUE(r.sink.codes.empty());
    r.finish();
    const Capture c = readCapture(r.file.path);
    ASSERT_EQ(c.records.size(), 4u);
    EXPECT_EQ(c.records[0].device, 0); // no board: no device number
    EXPECT_EQ(c.records[0].data, packet({0x30, 0x01}));
    EXPECT_EQ(c.records[1].status, -19);
    EXPECT_EQ(c.records[3].status, -19);
}

TEST(CaptureRecords, GeneralPipeTransfersAndTheControlPipe) {
    Rig r;
    PipeTransferRecord rec;
    rec.pipeNumber = pipe::DataOut;
    rec.buffer = Bytes(64, 0xAB);
    rec.bufferSize = 64;
    r.link.WritePipe(rec);
    PipeTransferRecord probe;
    probe.pipeNumber = pipe::DataOut; // the number alone: the read sets the direction bit
    probe.bufferSize = 64;
    r.link.ReadPipe(probe);
    EXPECT_EQ(probe.transferred, 64u);
    // The simulated board refuses control requests; the record still shows the setup packet.
    const std::uint8_t setup[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
    std::uint8_t descriptor[18] = {};
    std::uint32_t got = 0;
    EXPECT_EQ(r.cap->transfer(r.ctx.handle.load(), 0, 1, 0, descriptor, 18, &got, setup, 1000),
              status::NotSupported);
    r.finish();

    const Capture c = readCapture(r.file.path);
    ASSERT_EQ(c.records.size(), 6u);
    EXPECT_EQ(c.records[0].endpoint, 0x05);
    EXPECT_EQ(c.records[0].data, Bytes(64, 0xAB));
    EXPECT_EQ(c.records[3].endpoint, 0x85);
    Bytes probeReply(SimBoard::kProbeReply.begin(), SimBoard::kProbeReply.end());
    EXPECT_EQ(c.records[3].data, probeReply);
    EXPECT_EQ(probe.buffer, probeReply);
    const auto& control = c.records[4];
    EXPECT_EQ(control.transferType, 2);
    EXPECT_EQ(control.endpoint, 0x80);
    EXPECT_EQ(control.setupFlag, 0);
    EXPECT_EQ(control.setup, Bytes(setup, setup + 8));
    EXPECT_EQ(c.records[5].setupFlag, '-');
    EXPECT_EQ(c.records[5].status, -5);
}

// --- The file's life ----------------------------------------------------------------------

TEST(CaptureFile, EveryRecordIsOnDiskBeforeTheLayerCloses) {
    Rig r;
    r.board.Write_PORTA(0x0F);
    // Read while the layer still holds the file open, as after a crash.
    const Capture open = readCapture(r.file.path);
    ASSERT_EQ(open.records.size(), 4u);
    EXPECT_EQ(open.records[0].data, packet({0x30, 0x0F}));

    // Closed early: transfers go on to the board, the file stays as it was.
    r.cap->close();
    r.board.Write_PORTA(0x03);
    EXPECT_EQ(r.sim.port('A'), 0x03);
    r.cap->close();
    r.finish();
    EXPECT_EQ(readCapture(r.file.path).records.size(), 4u);
}

TEST(CaptureFile, UnwritablePathIsAClearError) {
    SimBoard sim;
    const std::string missing = "/nonexistent-korva-folder/usb.pcap";
    try {
        CaptureLayer cap(sim, missing);
        FAIL() << "no error for " << missing;
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "cannot write capture file /nonexistent-korva-folder/usb.pcap: No such file "
                     "or directory");
    }
    const std::string folder = std::filesystem::temp_directory_path().string();
    EXPECT_THAT([&] { CaptureLayer cap(sim, folder); },
                ::testing::ThrowsMessage<std::runtime_error>(::testing::HasSubstr(
                    "cannot write capture file " + folder + ": Is a directory")));
    if (std::filesystem::exists("/dev/full")) {
        EXPECT_THAT([&] { CaptureLayer cap(sim, "/dev/full"); },
                    ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq(
                        "cannot write capture file /dev/full: No space left on device")));
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
