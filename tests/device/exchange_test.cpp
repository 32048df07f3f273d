// The command exchange against the simulated board: the frame, the three checking styles,
// attach and detach from another thread.
#include "device/exchange.h"
#include "device/sim_board.h"
#include "support/board_rig.h"
#include "support/recording_sink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <tuple>

using namespace korva;
using korva::test::packet;

namespace {

using Rig = test::BoardRig;

} // namespace

TEST(ExchangeFrame, FreshZeroedPacketAndReplyInSameBuffer) {
    Rig r;
    r.sim.setFpga(0x10, 0x7F);
    auto res = r.link.ExchangeCommand({0x2E, 0x10}, CheckStyle::NotReported, true);
    EXPECT_TRUE(res.ok);
    EXPECT_EQ(res.reply[0], 0x7F);
    const auto log = r.sim.log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].pipe, 0x02u);
    EXPECT_FALSE(log[0].in);
    EXPECT_EQ(log[0].data, packet({0x2E, 0x10}));
    EXPECT_EQ(log[0].timeoutMs, 30000u);
    EXPECT_EQ(log[1].pipe, 0x82u);
    EXPECT_TRUE(log[1].in);
    EXPECT_EQ(log[1].data.size(), 64u);
    EXPECT_EQ(log[1].timeoutMs, 30000u);
}

TEST(ExchangeStyles, NoBoardReportingStylesReportZeroAndSendNothing) {
    for (auto style : {CheckStyle::ReportedWithStatus, CheckStyle::ReportedAsNotFound}) {
        Rig r(false);
        r.link.ExchangeCommand({0x23, 0x05, 0x80}, style);
        EXPECT_EQ(r.sink.codes, std::vector<std::int16_t>{0});
        EXPECT_TRUE(r.sim.log().empty());
        EXPECT_TRUE(r.link.halted());
    }
}

TEST(ExchangeStyles, NotReportedGoesOnWithoutBoardAndKeepsTheBuffer) {
    Rig r(false);
    auto res = r.link.ExchangeCommand({0x22, 0x10}, CheckStyle::NotReported, false);
    EXPECT_TRUE(r.sink.codes.empty());
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(res.reply[0], 0x22); // the opcode still stands in byte 0
    auto cleared = r.link.ExchangeCommand({0x2E, 0x10}, CheckStyle::NotReported, true);
    EXPECT_EQ(cleared.reply[0], 0);
}

TEST(ExchangeStyles, FailedWriteWithStatusReportsNonZeroAndSkipsRead) {
    Rig r;
    r.sim.failTransfer(1, status::Pipe);
    r.link.ExchangeCommand({0x23, 0x05, 0x80}, CheckStyle::ReportedWithStatus);
    ASSERT_EQ(r.sink.codes.size(), 1u);
    EXPECT_NE(r.sink.codes[0], 0);
    const auto log = r.sim.log();
    ASSERT_EQ(log.size(), 1u); // the read was never attempted
    EXPECT_EQ(log[0].status, status::Pipe);
}

// A failed or short reply fails the exchange in its operation's style, and the report
// says which operation failed and why.
TEST(ExchangeStyles, FailedAndShortRepliesAreReportedWithTheirCause) {
    const std::tuple<CheckStyle, std::function<void(SimBoard&)>, std::int16_t, std::string>
        cases[] = {
            {CheckStyle::ReportedAsNotFound, [](SimBoard& b) { b.timeOutTransfer(2); }, 0,
             "op: reading the reply: LIBUSB_ERROR_TIMEOUT: Operation timed out"},
            {CheckStyle::ReportedAsNotFound, [](SimBoard& b) { b.shortReplyAtTransfer(2, 2); }, 0,
             "op: short reply: the board answered with 2 bytes; the operation reads 64"},
            {CheckStyle::ReportedWithStatus, [](SimBoard& b) { b.shortReplyAtTransfer(2, 63); },
             ErrorCodeForStatus(status::Io),
             "op: short reply: the board answered with 63 bytes; the operation reads 64"},
        };
    for (const auto& [style, fault, code, detail] : cases) {
        Rig r;
        fault(r.sim);
        EXPECT_FALSE(r.link.ExchangeCommand({0x03, 0x4C, 0x00, 0x40}, style, true, {64, "op"}).ok);
        EXPECT_EQ(r.sink.codes, std::vector<std::int16_t>{code}) << detail;
        ASSERT_TRUE(r.link.lastFailure());
        EXPECT_EQ(Describe(*r.link.lastFailure()), detail);
    }
}

TEST(ExchangeStyles, NothingIsSentAfterAnError) {
    Rig r;
    r.link.ErrMsg(5);
    r.link.ExchangeCommand({0x23, 0x05, 0x80}, CheckStyle::ReportedWithStatus);
    r.link.ExchangeCommand({0x2E, 0x00}, CheckStyle::NotReported, true);
    EXPECT_TRUE(r.sim.log().empty());
    EXPECT_EQ(r.sink.codes, std::vector<std::int16_t>{5});
}

TEST(ErrorCodes, NeverZeroForAFailure) {
    EXPECT_EQ(ErrorCodeForStatus(0), 0);
    EXPECT_NE(ErrorCodeForStatus(status::Timeout), 0);
    EXPECT_NE(ErrorCodeForStatus(0x10000), 0);
    EXPECT_NE(ErrorCodeForStatus(status::NoDevice), ErrorCodeForStatus(status::Timeout));
}

TEST(AttachDetach, HandleFollowsPlugging) {
    Rig r;
    EXPECT_NE(r.ctx.handle.load(), 0u);
    r.sim.unplug();
    EXPECT_EQ(r.ctx.handle.load(), 0u);
    r.sim.plug();
    EXPECT_NE(r.ctx.handle.load(), 0u);
    r.link.ExchangeCommand({0x30, 0x0F}, CheckStyle::ReportedWithStatus);
    EXPECT_TRUE(r.sink.codes.empty());
    EXPECT_EQ(r.sim.port('A'), 0x0F);
}

TEST(AttachDetach, UnplugDuringAnOperationIsReported) {
    Rig r;
    r.sim.unplugAtTransfer(2);
    r.link.ExchangeCommand({0x2F, 0x1B, 0x21}, CheckStyle::ReportedWithStatus);
    ASSERT_EQ(r.sink.codes.size(), 1u);
    EXPECT_NE(r.sink.codes[0], 0);
    EXPECT_EQ(r.ctx.handle.load(), 0u);
}

TEST(AttachDetach, PluggingFromAnotherThreadWhileExchanging) {
    Rig r;
    std::atomic<bool> stop{false};
    std::thread plugger([&] {
        while (!stop) {
            r.sim.unplug();
            r.sim.plug();
        }
    });
    int good = 0;
    int bad = 0;
    for (int i = 0; i < 5000; ++i) {
        auto res = r.link.ExchangeCommand({0x2E, 0x01}, CheckStyle::NotReported, true);
        (res.ok ? good : bad)++;
    }
    stop = true;
    plugger.join();
    EXPECT_TRUE(r.sink.codes.empty());
    EXPECT_EQ(good + bad, 5000);
    // Every exchange either went through whole or failed cleanly; the board ends plugged.
    EXPECT_NE(r.ctx.handle.load(), 0u);
    EXPECT_TRUE(r.link.ExchangeCommand({0x2E, 0x01}, CheckStyle::NotReported, true).ok);
}

TEST(Pipes, GetPipesCopiesOrRefuses) {
    PipeInfo table[2] = {{0x05, 512, 2, 2, 0}, {0x85, 512, 2, 1, 0}};
    std::vector<PipeInfo> pipes;
    EXPECT_TRUE(GetPipes({2, table}, pipes));
    ASSERT_EQ(pipes.size(), 2u);
    EXPECT_EQ(pipes[1].number, 0x85u);
    std::string traced;
    SetTraceHandler([&](std::string_view t) { traced += t; });
    EXPECT_FALSE(GetPipes({0, nullptr}, pipes));
    SetTraceHandler({});
    EXPECT_EQ(traced,
              "  No pipes are defined for this device \r\nother than the default pipe (number 0)");
}

TEST(Pipes, WritePipeSendsTheRecordOnItsPipe) {
    Rig r;
    PipeTransferRecord rec;
    rec.pipeNumber = 5;
    rec.buffer = std::vector<std::uint8_t>(64, 0xAB);
    rec.bufferSize = 64;
    r.link.WritePipe(rec);
    const auto log = r.sim.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].pipe, 0x05u);
    EXPECT_EQ(log[0].data, std::vector<std::uint8_t>(64, 0xAB));
    EXPECT_TRUE(r.sink.codes.empty());
}
