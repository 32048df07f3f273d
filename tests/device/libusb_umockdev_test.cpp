// The libusb layer end to end: LibusbLayer, CommandLink and Board against a board that
// umockdev emulates at the usbfs level, so libusb's own Linux code enumerates, opens,
// claims and transfers exactly as with the real board.
#include "device/libusb_boards.h"
#include "device/libusb_layer.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"
#include "tools/download.h"
#include "umockdev_board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <future>
#include <linux/capability.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace korva;
using namespace korva::test;
using Sent = std::vector<EmulatedBoard::Packet>;

namespace {

// One program's worth of device link over a fresh testbed. Members are destroyed in
// reverse order: the layer closes its boards before the emulated boards and the testbed go.
struct Rig {
    UmockdevBed bed;
    EmulatedBoard board{bed, kDefaultVendorId, kProductId, 2};
    std::optional<EmulatedBoard> stranger; // same vendor, another product
    LibusbLayer layer;
    DeviceContext ctx;
    RecordingSink sink;
    CommandLink link{layer, ctx, sink};
    DriverHandle driver = 0;
    std::vector<std::string> notices;
    std::mutex traceMutex;
    std::vector<std::string> trace;

    Rig() {
        SetTraceHandler([this](std::string_view text) {
            std::lock_guard lock(traceMutex);
            trace.emplace_back(text);
        });
    }
    ~Rig() {
        if (driver != 0) layer.uninit(driver);
        SetTraceHandler(nullptr);
    }
    // Trace lines of failed opens that name `where` ("bus 1 device 3").
    int openFailures(const std::string& where) {
        std::lock_guard lock(traceMutex);
        return int(std::count_if(trace.begin(), trace.end(), [&](const std::string& t) {
            return t.find("libusb_open") != t.npos && t.find(where) != t.npos;
        }));
    }
    void start(bool plugged = true) {
        if (plugged) board.plug();
        layer.onNotice = [this](const std::string& text) { notices.push_back(text); };
        ASSERT_EQ(layer.init(&driver, MatchEntry{}, MakeEventTable(layer, ctx)), status::Success);
        // A board present at start is attached before init returns.
        ASSERT_EQ(ctx.handle.load() != 0, plugged);
    }
};

} // namespace

// Without a board of ours the validity check fails; only the board with our identifiers
// is opened, as it arrives, and described.
// A read nobody answers times out and is cancelled; then the exact packets go out on 0x02
// and 0x05, the reply reaches the buffer, and the open board costs no processor time idle.
TEST(LibusbAttach, HotPlugAttachesOnlyOurBoardExchangesIdlesAndComesBack) {
    Rig r;
    r.stranger.emplace(r.bed, kDefaultVendorId, static_cast<std::uint16_t>(kProductId + 1), 3);
    r.stranger->plug(); // present at start, not ours
    r.start(false);
    EXPECT_NE(r.link.CheckDevice(), status::Success);
    r.board.plug();
    ASSERT_TRUE(waitFor([&] { return r.ctx.handle.load() != 0; }));
    EXPECT_EQ(std::tuple(r.link.CheckDevice(), r.stranger->opens.load(), r.board.claims.load(),
                         r.notices.size()),
              std::tuple(status::Success, 0, 1, 0u));
    const DeviceHandle h = r.ctx.handle.load();
    DeviceInfo info;
    ASSERT_EQ(r.layer.getDeviceInfo(h, &info), status::Success);
    std::vector<PipeInfo> pipes; // 0x02, 0x82, 0x05, 0x85: bulk, 512 bytes
    EXPECT_TRUE(info.activeInterface == 0 && GetPipes(info.activeAlternate, pipes) &&
                pipes.size() == 4 && pipes[1].number == 0x82 && pipes[1].direction == 1 &&
                pipes[2].number == 0x05 && pipes[2].direction == 2 && pipes[3].type == 2 &&
                pipes[3].maxPacketSize == 512);
    EXPECT_NE(r.layer.getDeviceInfo(h + 1, &info), status::Success);

    std::uint8_t buffer[64] = {0x01};
    std::uint32_t n = 99;
    EXPECT_EQ(r.layer.transferBulk(h, pipe::CommandIn, kReadFlag, 0, buffer, 64, &n, 100),
              status::Timeout);
    EXPECT_EQ(std::tuple(n, r.board.discards.load(), r.board.pendingReads()), std::tuple(0u, 1, 0));
    EXPECT_EQ(r.layer.stat2Str(status::Timeout), "LIBUSB_ERROR_TIMEOUT: Operation timed out");
    const auto res = r.link.ExchangeCommand({0x2E, 0x10}, CheckStyle::ReportedWithStatus, true);
    EXPECT_TRUE(res.ok && r.sink.codes.empty());
    EXPECT_EQ(Bytes(res.reply.begin(), res.reply.end()),
              EmulatedBoard::ReplyFor(packet({0x2E, 0x10})));
    buffer[0] = 0x01;
    EXPECT_EQ(r.layer.transferBulk(h, pipe::DataOut, 0, 0, buffer, 1, &n, 1000), status::Success);
    EXPECT_EQ(n, 1u);

    // Nothing left to reap: libusb's event thread polls the open board and must sleep.
    EXPECT_TRUE(r.board.fifoFull);
    const std::clock_t before = std::clock(); // processor time of the whole process
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(std::clock() - before, CLOCKS_PER_SEC / 20);

    // The board leaves during a read nobody answers (the way a board that hangs would leave
    // it): the read ends with no device and the board is detached; then it comes back and the
    // link exchanges with it.
    auto read = std::async(std::launch::async, [&] {
        return r.layer.transferBulk(h, pipe::CommandIn, kReadFlag, 0, buffer, 64, &n, 10000);
    });
    ASSERT_TRUE(waitFor([&] { return r.board.pendingReads() == 1; }));
    r.board.unplug();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(read.get(), status::NoDevice);
    ASSERT_TRUE(waitFor([&] { return r.ctx.handle.load() == 0; }));
    r.board.plug();
    ASSERT_TRUE(waitFor([&] { return r.ctx.handle.load() != 0; }));
    EXPECT_NE(r.layer.getDeviceInfo(h, nullptr), status::Success); // stale stays stale
    const auto again = r.link.ExchangeCommand({0x2E, 0x1B}, CheckStyle::ReportedAsNotFound, true);
    EXPECT_TRUE(again.ok && r.sink.codes.empty() && again.reply[0] == 0xD1);
    EXPECT_EQ(r.board.received(),
              (Sent{{2, packet({0x2E, 0x10})}, {5, {1}}, {2, packet({0x2E, 0x1B})}}));
    EXPECT_EQ(r.board.claims, 2);
}

// Two boards of ours are listed and named (a third, not ours, is left out); --device picks
// one by bus:address or port; only the chosen one is opened.
TEST(LibusbBoards, TwoBoardsAreListedAndOnlyTheChosenOneIsOpened) {
    Rig r;
    r.board.plug();
    r.stranger.emplace(r.bed, kDefaultVendorId, kProductId, 3); // a second board
    r.stranger->plug();
    EmulatedBoard other(r.bed, kDefaultVendorId, kProductId + 1, 4); // not a board of ours
    other.plug();
    const UsbBoardList found = ListUsbBoards(MatchEntry{});
    ASSERT_EQ(found.boards.size(), 2u) << found.error;
    using Reason = UsbBoardChoice::Reason;
    const UsbBoardChoice several = ChooseUsbBoard(found.boards, std::nullopt, MatchEntry{});
    EXPECT_EQ(several.reason, Reason::Several);
    const std::string& both = several.error;
    for (const UsbBoard& b : found.boards) {
        EXPECT_TRUE(b.accessible && b.port == "1-" + std::to_string(b.address - 1));
        EXPECT_NE(both.find("port " + b.port + ", ID 1209:1004"), std::string::npos) << both;
    }
    for (auto [id, address] : {std::pair{"1:3", 3}, {"001:003", 3}, {"1-2", 3}, {"1:9", 0}}) {
        const auto chosen = ChooseUsbBoard(found.boards, std::string(id), MatchEntry{});
        EXPECT_EQ(chosen.index ? found.boards[*chosen.index].address : 0, address) << id;
        EXPECT_EQ(chosen.reason, address ? Reason::Chosen : Reason::NoMatch) << id;
        EXPECT_TRUE(address || chosen.error.find("no connected board matches --device 1:9") !=
                                   chosen.error.npos);
    }
    r.layer.setBoardFilter([](const UsbBoard& b) { return b.bus == 1 && b.address == 3; });
    r.start();
    EXPECT_EQ(std::tuple(r.stranger->claims.load(), r.board.claims.load(), other.opens.load()),
              std::tuple(1, 0, 0));
}

// A bitstream download: each packet its own 64-byte write on 0x05, in file order, many in
// flight at once; a stall midway stops it and is reported with its status.
TEST(LibusbStream, DownloadGoesOutInOrderManyInFlightAndAStallStopsIt) {
    Bytes file(101 * 64); // 100 * 64 + 10 bytes: 101 packets, the last padded with zeros
    for (std::size_t i = 0; i < 100 * 64 + 10; ++i)
        file[i] = static_cast<std::uint8_t>(i * 7 + i / 64);
    Sent expected{{5, {0x00}}}; // the start packet first
    for (auto at = file.begin(); at != file.end(); at += 64)
        expected.emplace_back(5, Bytes(at, at + 64));
    file.resize(100 * 64 + 10);
    Rig r;
    r.start();
    writeFile(r.bed.root + "/" + kBitstreamFileName, file);
    EXPECT_EQ(DownloadBitstream(r.link, r.bed.root, {}).dataPackets, 101u);
    EXPECT_EQ(r.board.received(), expected);
    EXPECT_GE(r.board.mostDataOutInFlight, 16);
    r.board.failDataOutAt = 41; // after the start packet, the 40th data packet
    const auto stalled = DownloadBitstream(r.link, r.bed.root, {}).dataPackets;
    EXPECT_EQ(r.sink.codes, std::vector<std::int16_t>{ErrorCodeForStatus(status::Pipe)});
    const Sent got = r.board.received(); // nothing after the stall's window
    // Every data packet that reached the board but the stalled one counts, and the report
    // names the stalled one.
    EXPECT_EQ(stalled, got.size() - expected.size() - 2);
    EXPECT_NE(r.link.lastFailure()->operation.find("data packet 40 of 101"), std::string::npos);
    ASSERT_LT(got.size(), 2 * expected.size());
    EXPECT_EQ(Sent(got.begin() + long(expected.size()), got.end()),
              Sent(expected.begin(), expected.begin() + long(got.size() - expected.size())));
}

// The stream's report: the first packet that failed, and every packet the board accepted,
// also those in flight behind it. A packet the board takes only in part fails. When events
// cannot be handled (reaping fails) the stream ends within its time-out.
TEST(LibusbStream, ReportNamesTheFailedPacketAndCountsWhatTheBoardAccepted) {
    struct Case {
        int stallAt, shortAt, reapsBeforeFailure; // faults, 1 = the first packet
        Status status;
    };
    const Case cases[] = {
        {40, 0, -1, status::Pipe}, {0, 10, -1, status::Io}, {0, 0, 20, status::Io}};
    Rig r;
    r.start();
    const Bytes data(101 * 64 - 10, 0x5A);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.stallAt) + " " + std::to_string(c.shortAt) + " " +
                     std::to_string(c.reapsBeforeFailure));
        const std::size_t before = r.board.received().size();
        r.board.failDataOutAt = c.stallAt;
        r.board.shortDataOutAt = c.shortAt;
        r.board.reapsBeforeFailure = c.reapsBeforeFailure;
        StreamReport report;
        auto stream = std::async(std::launch::async, [&] {
            return r.layer.streamBulk(r.ctx.handle.load(), pipe::DataOut, data.data(),
                                      std::uint32_t(data.size()), 64, &report, 500, nullptr);
        });
        const bool ended = stream.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        r.board.reapsBeforeFailure = -1; // what is left is reaped now
        EXPECT_TRUE(ended) << "the stream did not end within its time-out";
        const Status s = stream.get();
        const auto onWire = int(r.board.received().size() - before);
        const int failed =
            c.reapsBeforeFailure >= 0 ? c.reapsBeforeFailure : c.stallAt + c.shortAt - 1;
        EXPECT_EQ(std::tuple(s, report.failedPacket, report.accepted),
                  std::tuple(c.status, std::uint32_t(failed),
                             std::uint32_t(c.reapsBeforeFailure >= 0 ? failed : onWire - 1)));
        EXPECT_GT(onWire, failed + 1); // packets behind the failed one had reached the board
    }
}

TEST(LibusbPermission, BoardThatCannotBeOpenedIsNamedOnceWithTheUdevRule) {
    Rig r;
    ::chmod((r.bed.root + r.board.devnode).c_str(), 0); // no one may open it
    // Without the capability that lets root open any file, file modes apply to this
    // thread (and the threads it starts) as to a normal user.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    ASSERT_EQ(::syscall(SYS_capget, &header, caps), 0);
    const auto saved = caps[0].effective;
    caps[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    ::syscall(SYS_capset, &header, caps);
    const std::shared_ptr<void> restore(nullptr, [&](void*) {
        caps[0].effective = saved;
        ::syscall(SYS_capset, &header, caps);
    });
    if (const int fd = ::open((r.bed.root + r.board.devnode).c_str(), O_RDWR | O_NONBLOCK);
        fd >= 0 && !::close(fd))
        GTEST_SKIP() << "this process opens any file; cannot emulate a permission problem";
    r.board.plug();
    r.start(false);
    EXPECT_EQ(r.openFailures("bus 1 device 2"), 1);
    const std::string notice = r.notices.empty() ? "" : r.notices[0];
    EXPECT_TRUE(notice.find("1209:1004") != notice.npos &&
                notice.find("60-korva726eval.rules") != notice.npos &&
                notice.find("permission denied") != notice.npos)
        << notice;

    // Replugging the same board, or another one with the same rights: no second notice.
    r.board.unplug();
    r.board.plug();
    r.board.unplug();
    r.stranger.emplace(r.bed, kDefaultVendorId, kProductId, 3);
    ::chmod((r.bed.root + r.stranger->devnode).c_str(), 0);
    r.stranger->plug();
    ASSERT_TRUE(waitFor([&] { return r.openFailures("bus 1 device 3") == 1; }));
    EXPECT_EQ(
        std::tuple(r.notices.size(), r.ctx.handle.load(), r.board.claims + r.stranger->claims),
        std::tuple(1u, 0u, 0));
    // With identifiers from Config.ini the notice says that the rule needs them too.
    EXPECT_NE(LibusbLayer::permissionNotice({0x1234, 0x1004}).find("change its idVendor"),
              std::string::npos);
}
