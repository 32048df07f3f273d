// The libusb layer end to end: LibusbLayer, CommandLink and Board against a board that
// umockdev emulates at the usbfs level, so libusb's own Linux code enumerates, opens,
// claims and transfers exactly as with the real board.
#include "device/board.h"
#include "device/libusb_boards.h"
#include "device/libusb_layer.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"
#include "tools/download.h"
#include "umockdev_board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <future>
#include <linux/capability.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/syscall.h>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace korva;
using namespace korva::test;
using Sent = std::vector<EmulatedBoard::Packet>;

namespace {

// Polls `condition` until it holds or five seconds have passed.
bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return condition();
}

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
    Board ops{link};
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
        ASSERT_NE(driver, 0u);
        // A board present at start is attached before init returns.
        ASSERT_EQ(ctx.handle.load() != 0, plugged);
    }
};

} // namespace

// Without a board of ours the validity check fails and a reporting operation sends
// nothing; only the board with our identifiers is opened, as it arrives, and described.
TEST(LibusbAttach, HotPlugAttachesOnlyTheBoardWithMatchingIdentifiers) {
    Rig r;
    r.stranger.emplace(r.bed, kDefaultVendorId, static_cast<std::uint16_t>(kProductId + 1), 3);
    r.stranger->plug(); // present at start, not ours
    r.start(false);
    EXPECT_NE(r.link.CheckDevice(), status::Success);
    r.ops.WriteByte_AFE(0x05, 0x80); // reported as not found
    EXPECT_EQ(r.sink.codes, std::vector<std::int16_t>{0});
    r.board.plug();
    ASSERT_TRUE(waitFor([&] { return r.ctx.handle.load() != 0; }));
    EXPECT_EQ(r.link.CheckDevice(), status::Success);
    EXPECT_EQ(r.stranger->opens, 0);
    EXPECT_EQ(r.board.claims, 1);
    EXPECT_TRUE(r.board.received().empty());
    EXPECT_TRUE(r.notices.empty());

    DeviceInfo info;
    ASSERT_EQ(r.layer.getDeviceInfo(r.ctx.handle.load(), &info), status::Success);
    EXPECT_EQ(info.activeInterface, 0u);
    std::vector<PipeInfo> pipes;
    ASSERT_TRUE(GetPipes(info.activeAlternate, pipes));
    ASSERT_EQ(pipes.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint32_t n = std::array{0x02u, 0x82u, 0x05u, 0x85u}[i]; // bulk, 512 bytes
        EXPECT_EQ(
            std::tuple(pipes[i].number, pipes[i].type, pipes[i].direction, pipes[i].maxPacketSize),
            std::tuple(n, 2u, n & 0x80 ? 1u : 2u, 512u));
    }
    EXPECT_NE(r.layer.getDeviceInfo(r.ctx.handle.load() + 1, &info), status::Success);
}

TEST(LibusbBoards, TwoBoardsAreListedAndOnlyTheChosenOneIsOpened) {
    Rig r;
    r.board.plug();
    r.stranger.emplace(r.bed, kDefaultVendorId, kProductId, 3); // a second board
    r.stranger->plug();
    EmulatedBoard other(r.bed, kDefaultVendorId, kProductId + 1, 4); // not a board of ours
    other.plug();
    const UsbBoardList found = ListUsbBoards(MatchEntry{});
    ASSERT_EQ(found.boards.size(), 2u) << found.error;
    const std::string both = ChooseUsbBoard(found.boards, std::nullopt, MatchEntry{}).error;
    for (const UsbBoard& b : found.boards) {
        EXPECT_TRUE(b.accessible);
        EXPECT_EQ(b.port, "1-" + std::to_string(b.address - 1));
        EXPECT_NE(both.find("port " + b.port + ", ID 1209:1004"), std::string::npos) << both;
    }
    for (const char* id : {"1:3", "001:003", "1-2"}) {
        const auto chosen = ChooseUsbBoard(found.boards, std::string(id), MatchEntry{});
        ASSERT_TRUE(chosen.index) << id;
        EXPECT_EQ(found.boards[*chosen.index].address, 3) << id;
    }
    EXPECT_NE(ChooseUsbBoard(found.boards, std::string("1:9"), MatchEntry{})
                  .error.find("no connected board matches --device 1:9"),
              std::string::npos);
    r.layer.openOnly(1, 3);
    r.start();
    EXPECT_EQ(r.stranger->claims, 1);
    EXPECT_EQ(r.board.claims, 0);
    EXPECT_EQ(other.opens, 0);
}

// A read nobody answers times out and is cancelled; then the exact packets go out on 0x02
// and 0x05, the reply reaches the buffer, and the open board costs no processor time idle.
TEST(LibusbExchange, ExactPacketsRepliesTimeOutAndIdle) {
    Rig r;
    r.start();
    const DeviceHandle h = r.ctx.handle.load();
    std::uint8_t buffer[64] = {};
    std::uint32_t n = 99;
    EXPECT_EQ(r.layer.transferBulk(h, pipe::CommandIn, kReadFlag, 0, buffer, 64, &n, 100),
              status::Timeout);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(r.board.discards, 1);
    EXPECT_EQ(r.board.pendingReads(), 0);
    EXPECT_EQ(r.layer.stat2Str(status::Timeout), "LIBUSB_ERROR_TIMEOUT: Operation timed out");

    r.ops.WriteByte_AFE(0x05, 0x80);
    const auto res = r.link.ExchangeCommand({0x2E, 0x10}, CheckStyle::ReportedWithStatus, true);
    EXPECT_TRUE(res.ok);
    EXPECT_EQ(Bytes(res.reply.begin(), res.reply.end()),
              EmulatedBoard::ReplyFor(packet({0x2E, 0x10})));
    std::uint8_t start[1] = {0x01};
    EXPECT_EQ(r.layer.transferBulk(h, pipe::DataOut, 0, 0, start, 1, &n, 1000), status::Success);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(r.board.received(),
              (Sent{{0x02, packet({0x23, 0x05, 0x80})}, {0x02, packet({0x2E, 0x10})}, {5, {1}}}));
    const std::uint8_t setup[8] = {0xC0, 0x01, 0, 0, 0, 0, 4, 0}; // refused by this board
    EXPECT_EQ(r.layer.transfer(h, 0, kReadFlag, 0, buffer, 4, &n, setup, 1000), status::Pipe);
    EXPECT_TRUE(r.sink.codes.empty());

    // Nothing left to reap: libusb's event thread polls the open board and must sleep.
    EXPECT_TRUE(r.board.fifoFull);
    const auto cpu = [] {
        timespec t{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
    };
    const auto before = cpu();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(cpu() - before, std::chrono::milliseconds(50));
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
    const struct {
        int stallAt; // the data packet (from 1) that stalls; 0: none
        std::uint64_t sent;
        std::vector<std::int16_t> codes;
    } cases[] = {{0, 101, {}}, {40, 39, {ErrorCodeForStatus(status::Pipe)}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stallAt);
        Rig r;
        r.start();
        writeFile(r.bed.root + "/" + kBitstreamFileName, file);
        r.board.failDataOutAt = c.stallAt ? c.stallAt + 1 : 0;
        EXPECT_EQ(DownloadBitstream(r.link, r.bed.root, {}).dataPackets, c.sent);
        EXPECT_EQ(r.sink.codes, c.codes);
        const Sent got = r.board.received();
        ASSERT_LE(got.size(), expected.size());
        EXPECT_EQ(got, Sent(expected.begin(), expected.begin() + long(got.size())));
        EXPECT_EQ(got.size() == expected.size(), c.stallAt == 0); // nothing after the stall's
        EXPECT_GE(r.board.mostDataOutInFlight, 16);               // window, when there is one
    }
}

// The board leaves during a read nobody answers (the way a board that hangs would leave
// it): the read ends with no device and the board is detached; then it comes back.
TEST(LibusbHotplug, UnplugDuringAReadDetachesAndReplugAttachesAgain) {
    Rig r;
    r.start();
    const DeviceHandle first = r.ctx.handle.load();
    r.ops.Write_PORTA(0x11);
    std::uint8_t buffer[64];
    std::uint32_t n = 0;
    auto read = std::async(std::launch::async, [&] {
        return r.layer.transferBulk(first, pipe::CommandIn, kReadFlag, 0, buffer, 64, &n, 10000);
    });
    ASSERT_TRUE(waitFor([&] { return r.board.pendingReads() == 1; }));
    r.board.unplug();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(read.get(), status::NoDevice);
    ASSERT_TRUE(waitFor([&] { return r.ctx.handle.load() == 0; }));
    EXPECT_NE(r.layer.getDeviceInfo(first, nullptr), status::Success);
    // The next reporting operation takes the not-found path and sends nothing.
    r.ops.WriteByte_FPGA(0x1B, 0x21);
    EXPECT_EQ(r.sink.codes, std::vector<std::int16_t>{0});
    EXPECT_EQ(r.board.received(), (Sent{{2, packet({0x30, 0x11})}}));

    r.board.plug();
    ASSERT_TRUE(waitFor([&] { return r.ctx.handle.load() != 0; }));
    EXPECT_NE(r.ctx.handle.load(), first);
    EXPECT_NE(r.layer.getDeviceInfo(first, nullptr), status::Success); // stale stays stale
    RecordingSink sink2; // the first link has ended, as the program would have
    CommandLink link2(r.layer, r.ctx, sink2);
    Board(link2).WriteByte_FPGA(0x1B, 0x21);
    const auto res = link2.ExchangeCommand({0x2E, 0x1B}, CheckStyle::ReportedAsNotFound, true);
    EXPECT_TRUE(sink2.codes.empty());
    EXPECT_TRUE(res.ok);
    EXPECT_EQ(res.reply[0], 0xD1);
    EXPECT_EQ(r.board.received(), (Sent{{2, packet({0x30, 0x11})},
                                        {2, packet({0x2F, 0x1B, 0x21})},
                                        {2, packet({0x2E, 0x1B})}}));
    EXPECT_EQ(r.board.claims, 2);
}

TEST(LibusbPermission, BoardThatCannotBeOpenedIsNamedOnceWithTheUdevRule) {
    Rig r;
    r.board.denyAccess();
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
    const int fd = ::open((r.bed.root + r.board.devnode).c_str(), O_RDWR | O_NONBLOCK);
    if (fd >= 0) {
        ::close(fd);
        GTEST_SKIP() << "this process opens any file; cannot emulate a permission problem";
    }
    r.board.plug();
    r.start(false);
    EXPECT_EQ(r.openFailures("bus 1 device 2"), 1);
    ASSERT_EQ(r.notices.size(), 1u);
    for (const char* part : {"1209:1004", "60-korva726eval.rules", "permission denied"})
        EXPECT_NE(r.notices[0].find(part), std::string::npos) << r.notices[0];

    // Replugging the same board, or another one with the same rights: no second notice.
    r.board.unplug();
    r.board.plug();
    r.board.unplug();
    r.stranger.emplace(r.bed, kDefaultVendorId, kProductId, 3);
    r.stranger->denyAccess();
    r.stranger->plug();
    ASSERT_TRUE(waitFor([&] { return r.openFailures("bus 1 device 3") == 1; }));
    EXPECT_EQ(r.notices.size(), 1u);
    EXPECT_EQ(r.ctx.handle.load(), 0u);
    EXPECT_EQ(r.board.claims + r.stranger->claims, 0);
    // With identifiers from Config.ini the notice says that the rule needs them too.
    EXPECT_NE(LibusbLayer::permissionNotice({0x1234, 0x1004}).find("change its idVendor"),
              std::string::npos);
}
