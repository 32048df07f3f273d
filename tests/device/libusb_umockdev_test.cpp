// The libusb layer end to end: LibusbLayer, CommandLink and Board against a board that
// umockdev emulates at the usbfs level, so libusb's own Linux code enumerates, opens,
// claims and transfers exactly as with the real board.
#include "device/board.h"
#include "device/exchange.h"
#include "device/libusb_boards.h"
#include "device/libusb_layer.h"
#include "support/recording_sink.h"
#include "tools/download.h"
#include "umockdev_board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <linux/capability.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using namespace korva;
using korva::test::EmulatedBoard;
using korva::test::packet;
using korva::test::UmockdevBed;

namespace {

// Polls `condition` until it holds or five seconds have passed.
bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::vector<std::vector<std::uint8_t>> dataOn(const std::vector<EmulatedBoard::Packet>& packets,
                                              std::uint8_t endpoint) {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& p : packets)
        if (p.endpoint == endpoint) out.push_back(p.data);
    return out;
}

// One program's worth of device link over a fresh testbed. Members are destroyed in
// reverse order: the layer closes its boards before the emulated boards and the testbed go.
struct Rig {
    UmockdevBed bed;
    EmulatedBoard board{bed, kDefaultVendorId, kProductId, 2};
    std::optional<EmulatedBoard> stranger; // same vendor, another product
    LibusbLayer layer;
    DeviceContext ctx;
    test::RecordingSink sink;
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
    // Trace lines of failed opens that name `where` ("bus 1 device 3").
    int openFailures(const std::string& where) {
        std::lock_guard lock(traceMutex);
        int n = 0;
        for (const auto& t : trace)
            n += t.find("libusb_open") != std::string::npos && t.find(where) != std::string::npos;
        return n;
    }
    void start() {
        layer.onNotice = [this](const std::string& text) { notices.push_back(text); };
        ASSERT_EQ(layer.init(&driver, MatchEntry{}, MakeEventTable(layer, ctx)), status::Success);
        ASSERT_NE(driver, 0u);
    }
    ~Rig() {
        if (driver != 0) layer.uninit(driver);
        SetTraceHandler(nullptr);
    }
};

// Drops the capability that lets root open any file, so that file modes apply to this
// thread (and the threads it starts) as they would to a normal user.
class NoDacOverride {
  public:
    NoDacOverride() {
        if (::syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        active_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~NoDacOverride() {
        if (active_) ::syscall(SYS_capset, &header_, saved_);
    }

  private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool active_ = false;
};

} // namespace

TEST(LibusbNoBoard, ValidityCheckFailsAndReportingOperationsSendNothing) {
    Rig r;
    r.start();
    EXPECT_EQ(r.ctx.handle.load(), 0u);
    EXPECT_NE(r.link.CheckDevice(), status::Success);

    r.ops.WriteByte_AFE(0x05, 0x80); // reported with its status
    EXPECT_EQ(r.sink.codes, std::vector<std::int16_t>{0});

    CommandLink other(r.layer, r.ctx, r.sink); // reported as not found
    Board otherOps(other);
    otherOps.ReadBurstI2C(kAfeI2cAddress, 0, 32);
    EXPECT_EQ(r.sink.codes, (std::vector<std::int16_t>{0, 0}));

    EXPECT_TRUE(r.board.received().empty());
    EXPECT_EQ(r.board.opens(), 0);
    EXPECT_TRUE(r.notices.empty());
}

TEST(LibusbAttach, BoardPresentAtStartIsAttachedBeforeInitReturns) {
    Rig r;
    r.board.plug();
    r.start();
    EXPECT_NE(r.ctx.handle.load(), 0u);
    EXPECT_EQ(r.board.claims(), 1);

    DeviceInfo info;
    ASSERT_EQ(r.layer.getDeviceInfo(r.ctx.handle.load(), &info), status::Success);
    EXPECT_EQ(info.activeInterface, 0u);
    std::vector<PipeInfo> pipes;
    ASSERT_TRUE(GetPipes(info.activeAlternate, pipes));
    ASSERT_EQ(pipes.size(), 4u);
    const std::uint32_t numbers[] = {0x02, 0x82, 0x05, 0x85};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(pipes[i].number, numbers[i]);
        EXPECT_EQ(pipes[i].type, 2u); // bulk
        EXPECT_EQ(pipes[i].direction, (numbers[i] & 0x80) ? 1u : 2u);
        EXPECT_EQ(pipes[i].maxPacketSize, 512u);
    }
    EXPECT_NE(r.layer.getDeviceInfo(r.ctx.handle.load() + 1, &info), status::Success);
}

TEST(LibusbAttach, HotPlugAttachesOnlyTheBoardWithMatchingIdentifiers) {
    Rig r;
    r.stranger.emplace(r.bed, kDefaultVendorId, static_cast<std::uint16_t>(kProductId + 1), 3);
    r.stranger->plug(); // present at start, not ours
    r.start();
    EXPECT_EQ(r.ctx.handle.load(), 0u);

    r.board.plug();
    ASSERT_TRUE(waitFor([&] { return r.ctx.handle.load() != 0; }));
    EXPECT_EQ(r.link.CheckDevice(), status::Success);
    EXPECT_EQ(r.stranger->opens(), 0); // never even opened
    EXPECT_EQ(r.board.claims(), 1);
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
    EXPECT_EQ(r.stranger->claims(), 1);
    EXPECT_EQ(r.board.claims(), 0);
    EXPECT_EQ(other.opens(), 0);
}

TEST(LibusbExchange, OneExchangeCarriesTheExactPacketAndTheReplyReachesTheBuffer) {
    Rig r;
    r.board.plug();
    r.start();
    ASSERT_NE(r.ctx.handle.load(), 0u);

    r.ops.WriteByte_AFE(0x05, 0x80);
    EXPECT_TRUE(r.sink.codes.empty());
    auto res = r.link.ExchangeCommand({0x2E, 0x10}, CheckStyle::NotReported, true);
    EXPECT_TRUE(res.ok);

    const auto got = r.board.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].endpoint, 0x02);
    EXPECT_EQ(got[0].data, packet({0x23, 0x05, 0x80}));
    EXPECT_EQ(got[1].endpoint, 0x02);
    EXPECT_EQ(got[1].data, packet({0x2E, 0x10}));

    const auto sent = r.board.delivered();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].endpoint, 0x82);
    const auto expected = EmulatedBoard::ReplyFor(packet({0x2E, 0x10}));
    EXPECT_EQ(std::vector<std::uint8_t>(res.reply.begin(), res.reply.end()), expected);
    EXPECT_EQ(res.reply[0], 0xD1);
    EXPECT_FALSE(r.board.fifoWritable()); // nothing left to reap: libusb's poll sleeps
}

TEST(LibusbExchange, ReadTimeOutCancelsTheTransferAndTheLinkStaysUsable) {
    Rig r;
    r.board.plug();
    r.start();
    const DeviceHandle h = r.ctx.handle.load();
    ASSERT_NE(h, 0u);

    std::uint8_t buffer[64] = {};
    std::uint32_t transferred = 99;
    EXPECT_EQ(r.layer.transferBulk(h, pipe::CommandIn, kReadFlag, 0, buffer, 64, &transferred, 100),
              status::Timeout);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(r.board.discards(), 1);
    EXPECT_EQ(r.board.pendingReads(), 0);
    EXPECT_EQ(r.layer.stat2Str(status::Timeout), "LIBUSB_ERROR_TIMEOUT: Operation timed out");

    auto res = r.link.ExchangeCommand({0x22, 0x07}, CheckStyle::ReportedWithStatus, true);
    EXPECT_TRUE(res.ok);
    EXPECT_TRUE(r.sink.codes.empty());
    EXPECT_EQ(res.reply[0], 0xDD);

    // The data pipes use their own endpoints; the control pipe is refused by this board.
    std::uint8_t start[1] = {0x01};
    EXPECT_EQ(r.layer.transferBulk(h, pipe::DataOut, 0, 0, start, 1, &transferred, 1000),
              status::Success);
    EXPECT_EQ(transferred, 1u);
    EXPECT_EQ(dataOn(r.board.received(), 0x05), (std::vector<std::vector<std::uint8_t>>{{0x01}}));
    const std::uint8_t setup[8] = {0xC0, 0x01, 0, 0, 0, 0, 4, 0};
    EXPECT_EQ(r.layer.transfer(h, 0, kReadFlag, 0, buffer, 4, &transferred, setup, 1000),
              status::Pipe);
}

// A bitstream download: each packet its own 64-byte write on 0x05, in file order, many in
// flight at once; a stall midway stops it and is reported with its status.
TEST(LibusbStream, DownloadGoesOutInOrderManyInFlightAndAStallStopsIt) {
    std::vector<std::uint8_t> file(100 * 64 + 10); // 101 packets
    for (std::size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<std::uint8_t>(i * 7 + i / 64);
    std::vector<std::vector<std::uint8_t>> expected{{0x00}}; // the start packet first
    file.resize(101 * 64);
    for (auto at = file.begin(); at != file.end(); at += 64)
        expected.emplace_back(at, at + 64);
    file.resize(100 * 64 + 10);
    const struct {
        int stallAt; // the data packet (from 1) that stalls; 0: none
        std::uint64_t sent;
        std::vector<std::int16_t> codes;
    } cases[] = {{0, 101, {}}, {40, 39, {ErrorCodeForStatus(status::Pipe)}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stallAt);
        Rig r;
        r.board.plug();
        r.start();
        std::ofstream(r.bed.root() + "/" + kBitstreamFileName, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()), static_cast<long>(file.size()));
        if (c.stallAt) r.board.failDataOut(c.stallAt + 1);
        EXPECT_EQ(DownloadBitstream(r.link, r.bed.root(), {}).dataPackets, c.sent);
        EXPECT_EQ(r.sink.codes, c.codes);
        const auto got = dataOn(r.board.received(), 0x05);
        ASSERT_LE(got.size(), expected.size());
        EXPECT_EQ(got, decltype(got)(expected.begin(), expected.begin() + got.size()));
        EXPECT_EQ(got.size() == expected.size(), c.stallAt == 0); // nothing after the stall's
        EXPECT_GE(r.board.mostDataOutInFlight(), 16);             // window, when there is one
    }
}

TEST(LibusbHotplug, UnplugDetachesAndReplugAttachesAgain) {
    Rig r;
    r.board.plug();
    r.start();
    const DeviceHandle first = r.ctx.handle.load();
    ASSERT_NE(first, 0u);
    r.ops.Write_PORTA(0x11);
    ASSERT_TRUE(r.sink.codes.empty());

    r.board.unplug();
    ASSERT_TRUE(waitFor([&] { return r.ctx.handle.load() == 0; }));
    EXPECT_NE(r.layer.getDeviceInfo(first, nullptr), status::Success);

    // The next reporting operation takes the not-found path and sends nothing.
    r.ops.WriteByte_FPGA(0x1B, 0x21);
    EXPECT_EQ(r.sink.codes, std::vector<std::int16_t>{0});
    EXPECT_EQ(dataOn(r.board.received(), 0x02),
              (std::vector<std::vector<std::uint8_t>>{packet({0x30, 0x11})}));

    r.board.plug();
    ASSERT_TRUE(waitFor([&] { return r.ctx.handle.load() != 0; }));
    const DeviceHandle second = r.ctx.handle.load();
    EXPECT_NE(second, first);
    EXPECT_NE(r.layer.getDeviceInfo(first, nullptr), status::Success); // stale stays stale

    test::RecordingSink sink2; // the first link has ended, as the program would have
    CommandLink link2(r.layer, r.ctx, sink2);
    Board ops2(link2);
    ops2.WriteByte_FPGA(0x1B, 0x21);
    auto res = link2.ExchangeCommand({0x2E, 0x1B}, CheckStyle::ReportedAsNotFound, true);
    EXPECT_TRUE(sink2.codes.empty());
    EXPECT_TRUE(res.ok);
    EXPECT_EQ(res.reply[0], 0xD1);
    EXPECT_EQ(dataOn(r.board.received(), 0x02),
              (std::vector<std::vector<std::uint8_t>>{
                  packet({0x30, 0x11}), packet({0x2F, 0x1B, 0x21}), packet({0x2E, 0x1B})}));
    EXPECT_EQ(r.board.claims(), 2);
}

TEST(LibusbHotplug, UnplugDuringAReadEndsItWithNoDevice) {
    Rig r;
    r.board.plug();
    r.start();
    const DeviceHandle h = r.ctx.handle.load();
    ASSERT_NE(h, 0u);

    // A read nobody answers, the way a board that hangs would leave it.
    auto read = std::async(std::launch::async, [&] {
        std::uint8_t buffer[64];
        std::uint32_t n = 0;
        return r.layer.transferBulk(h, pipe::CommandIn, kReadFlag, 0, buffer, 64, &n, 10000);
    });
    ASSERT_TRUE(waitFor([&] { return r.board.pendingReads() == 1; }));
    r.board.unplug();
    ASSERT_EQ(read.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(read.get(), status::NoDevice);
    ASSERT_TRUE(waitFor([&] { return r.ctx.handle.load() == 0; }));
}

TEST(LibusbPermission, BoardThatCannotBeOpenedIsNamedOnceWithTheUdevRule) {
    Rig r;
    r.board.denyAccess();
    NoDacOverride unprivileged;
    const std::string node = r.bed.root() + r.board.devnode();
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK);
    if (fd >= 0) {
        ::close(fd);
        GTEST_SKIP() << "this process opens any file; cannot emulate a permission problem";
    }
    r.board.plug();
    r.start();
    EXPECT_EQ(r.ctx.handle.load(), 0u);
    EXPECT_EQ(r.openFailures("bus 1 device 2"), 1);
    ASSERT_EQ(r.notices.size(), 1u);
    EXPECT_NE(r.notices[0].find("1209:1004"), std::string::npos);
    EXPECT_NE(r.notices[0].find("60-korva726eval.rules"), std::string::npos);
    EXPECT_NE(r.notices[0].find("permission denied"), std::string::npos);

    // Replugging the same board does not repeat the notice.
    r.board.unplug();
    r.board.plug();
    r.board.unplug();
    r.stranger.emplace(r.bed, kDefaultVendorId, kProductId, 3); // a second one, same rights
    r.stranger->denyAccess();
    r.stranger->plug();
    ASSERT_TRUE(waitFor([&] { return r.openFailures("bus 1 device 3") == 1; }));
    EXPECT_EQ(r.notices.size(), 1u);
    EXPECT_EQ(r.ctx.handle.load(), 0u);
    EXPECT_EQ(r.board.claims() + r.stranger->claims(), 0);

    // With identifiers from Config.ini the notice says that the rule needs them too.
    EXPECT_NE(LibusbLayer::permissionNotice({0x1234, 0x1004}).find("change its idVendor"),
              std::string::npos);
}

TEST(LibusbIdle, AnOpenBoardCostsNoProcessorTimeWhileIdle) {
    Rig r;
    r.board.plug();
    r.start();
    ASSERT_NE(r.ctx.handle.load(), 0u);
    r.ops.Write_PORTB(0x01);
    ASSERT_TRUE(r.sink.codes.empty());

    // libusb's event thread polls the open board; it must sleep, not spin.
    auto cpu = [] {
        timespec t{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
    };
    const auto before = cpu();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto used = cpu() - before;
    EXPECT_LT(used, std::chrono::milliseconds(50))
        << std::chrono::duration_cast<std::chrono::milliseconds>(used).count() << " ms";
}
