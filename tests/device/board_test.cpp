// The command exchange and the board command set on the simulated board: the exact packet
// bytes, the replies, the three checking styles, refusals, attach and detach.
#include "device/board.h"
#include "device/sim_board.h"
#include "device/textnum.h"
#include "support/board_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <tuple>

using namespace korva;
using namespace korva::test;
using Rig = BoardRig;
using Codes = std::vector<std::int16_t>;

// Each failure, in the style of its operation: the code reported, the detail, the
// transfers tried (none after a failed one), the handle following the board; and from
// then on the link sends nothing more.
TEST(Exchange, FailuresAreReportedInTheirStyleWithTheirCause) {
    using enum CheckStyle;
    const std::tuple<CheckStyle, std::function<void(SimBoard&)>, std::int16_t, std::string,
                     std::size_t>
        cases[] = {
            {ReportedWithStatus, [](SimBoard& b) { b.unplug(); }, 0, "", 0},
            {ReportedAsNotFound, [](SimBoard& b) { b.unplug(); }, 0, "", 0},
            {ReportedWithStatus, [](SimBoard& b) { b.failTransfer(1, status::Pipe); },
             ErrorCodeForStatus(status::Pipe),
             "op: sending the command: LIBUSB_ERROR_PIPE: Pipe error", 1},
            {ReportedAsNotFound, [](SimBoard& b) { b.timeOutTransfer(2); }, 0,
             "op: reading the reply: LIBUSB_ERROR_TIMEOUT: Operation timed out", 2},
            {ReportedAsNotFound, [](SimBoard& b) { b.shortReplyAtTransfer(2, 2); }, 0,
             "op: short reply: the board answered with 2 bytes; the operation reads 64", 2},
            {ReportedWithStatus, [](SimBoard& b) { b.shortReplyAtTransfer(2, 63); },
             ErrorCodeForStatus(status::Io),
             "op: short reply: the board answered with 63 bytes; the operation reads 64", 2},
            {ReportedWithStatus, [](SimBoard& b) { b.unplugAtTransfer(2); },
             ErrorCodeForStatus(status::NoDevice),
             "op: reading the reply: LIBUSB_ERROR_NO_DEVICE: No such device (it may have been "
             "disconnected)",
             2},
        };
    for (const auto& [style, fault, code, detail, transfers] : cases) {
        SCOPED_TRACE(detail);
        Rig r;
        fault(r.sim);
        EXPECT_FALSE(r.link.ExchangeCommand({0x03, 0x4C, 0x00, 0x40}, style, true, {64, "op"}).ok);
        EXPECT_EQ(r.sink.codes, Codes{code});
        EXPECT_EQ(r.link.lastFailure() ? Describe(*r.link.lastFailure()) : "", detail);
        EXPECT_EQ(r.sim.log().size(), transfers);
        EXPECT_EQ(r.ctx.handle.load() != 0, r.sim.plugged());
        r.sim.plug();
        r.link.ExchangeCommand({0x23, 0x05, 0x80}, ReportedWithStatus);
        EXPECT_EQ(r.sim.log().size(), transfers);
        EXPECT_EQ(r.sink.codes, Codes{code});
    }
    EXPECT_EQ(ErrorCodeForStatus(0), 0);
    EXPECT_NE(ErrorCodeForStatus(0x10000), 0); // never 0 for a failure
    EXPECT_NE(ErrorCodeForStatus(status::NoDevice), ErrorCodeForStatus(status::Timeout));
}

// Each exchange goes through whole or fails cleanly; the board ends attached.
TEST(AttachDetach, PluggingFromAnotherThreadWhileExchanging) {
    Rig r;
    std::atomic<bool> stop{false};
    std::thread plugger([&] {
        while (!stop) {
            r.sim.unplug();
            r.sim.plug();
        }
    });
    for (int i = 0; i < 5000; ++i)
        r.link.ExchangeCommand({0x2E, 0x01}, CheckStyle::NotReported, true);
    stop = true;
    plugger.join();
    EXPECT_TRUE(r.sink.codes.empty());
    EXPECT_NE(r.ctx.handle.load(), 0u);
    EXPECT_TRUE(r.link.ExchangeCommand({0x2E, 0x01}, CheckStyle::NotReported, true).ok);
}

TEST(Pipes, GetPipesCopiesOrRefusesAndWritePipeUsesItsPipe) {
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

    Rig r;
    PipeTransferRecord rec{.pipeNumber = 5, .buffer = Bytes(64, 0xAB), .bufferSize = 64};
    r.link.WritePipe(rec);
    const auto log = r.sim.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(std::tuple(log[0].pipe, log[0].data), std::tuple(0x05u, Bytes(64, 0xAB)));
    EXPECT_TRUE(r.sink.codes.empty());
}

// Every command: the packet it sends (zeros after its bytes; the reply read into the same
// buffer), what it returns or leaves on the board, what it reports. Without a board reads give 0
// (the uncleared one its opcode) unless reporting. A short reply counts against what the operation
// reads: a burst of N bytes needs N, a single read 1, a write none.
TEST(Board, CommandsSendExactPacketsAndUseTheirReplies) {
    const auto afe = [](Rig& r, int from, int n = 1) {
        std::string s;
        for (int a = from; a < from + n; ++a)
            s += HexByte(r.sim.afe(a));
        return s;
    };
    Bytes full = packet({0x04, 0x4C, 0, 60});
    std::fill(full.begin() + 4, full.end(), 0x11);
    const struct {
        Bytes sent; // the leading bytes of the one packet sent, if any
        std::string result;
        std::function<std::string(Rig&)> run;
        bool plugged = true;
        int shortReply = -1; // the length of the reply, when short
        Codes codes = {};
    } rows[] = {
        // clang-format off
        {{3, 0x4C, 0, 0x40}, "0AFF125E", [](Rig& r) { return r.board.ReadBurstI2C(0x4C, 0, 64).erase(4, 120); }},
        {{3, 0x4C, 0x10, 0}, "", [](Rig& r) { return r.board.ReadBurstI2C(0x4C, 0x10, 0); }},
        {{4, 0x4C, 6, 3, 0x1A, 0x2B, 0x3C}, "1A2B3C",
         [&](Rig& r) { return r.board.WriteBurstI2C(0x4C, 6, 3, "1A2B3C"), afe(r, 6, 3); }},
        {{4, 0x4C, 6, 3, 0x1A, 0x02, 0}, "1A0200",
         [&](Rig& r) { return r.board.WriteBurstI2C(0x4C, 6, 3, "1A2"), afe(r, 6, 3); }},
        {full, "11", [&](Rig& r) { return r.board.WriteBurstI2C(0x4C, 0, 60, std::string(120, '1')), afe(r, 59); }},
        {{0x23, 5, 0x80}, "80", [&](Rig& r) { return r.board.WriteByte_AFE(5, 0x80), afe(r, 5); }},
        {{0x80, 0, 0, 0}, "", [](Rig& r) { return r.board.WriteByte_EEPROM(0, 0), ""; }},
        {{0x2F, 0x1B, 0x21}, "21", [](Rig& r) { return r.board.WriteByte_FPGA(0x1B, 0x21), HexByte(r.sim.fpga(0x1B)); }},
        {{0x25, 3}, "03", [](Rig& r) { return r.board.SQ7302Channel_Select(3), HexByte(*r.sim.syncMode()); }},
        {{0x28, 2}, "02", [](Rig& r) { return r.board.TM6185Channel_Select(2), HexByte(*r.sim.muxChannel()); }},
        {{0x30, 0x0F}, "0F", [](Rig& r) { return r.board.Write_PORTA(0x0F), HexByte(r.sim.port('A')); }},
        {{0x40, 0xA5}, "A5", [](Rig& r) { return r.board.Write_PORTB(0xA5), HexByte(r.sim.port('B')); }},
        {{0x70, 0x01}, "01", [](Rig& r) { return r.board.Write_PORTE(0x01), HexByte(r.sim.port('E')); }},
        {{0x2E, 3}, "127", [](Rig& r) { return r.board.ReadByte_FPGA(3); }},
        {{0x22, 0}, "10", [](Rig& r) { return r.board.ReadByte_AFE(0); }},
        {{0x22, 0x10}, "0C", [](Rig& r) { return HexByte(r.board.ReadAfeUncleared(0x10)); }},
        {{}, "00", [](Rig& r) { return r.board.ReadByte_FPGA(3) + r.board.ReadByte_AFE(0); }, false},
        {{}, "0", [](Rig& r) { return std::to_string(r.board.ReadFpga(3).has_value()); }, false},
        {{}, "22", [](Rig& r) { return HexByte(r.board.ReadAfeUncleared(0x10)); }, false},
        {{}, "", [](Rig& r) { return r.board.WriteByte_FPGA(0x1C, 0), ""; }, false, -1, {0}},
        {{3, 0x4C, 0, 0x40}, "", [](Rig& r) { return r.board.ReadBurstI2C(0x4C, 0, 64), ""; }, true, 63, {0}},
        {{3, 0x4C, 0x40, 2}, "1C00", [](Rig& r) { return r.board.ReadBurstI2C(0x4C, 0x40, 2); }, true, 2},
        {{0x2E, 3}, "0", [](Rig& r) { return std::to_string(r.board.ReadFpga(3).has_value()); }, true, 0},
        {{0x23, 6, 0x80}, "80", [&](Rig& r) { return r.board.WriteByte_AFE(6, 0x80), afe(r, 6); }, true, 0},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("row " + std::to_string(&row - rows));
        Rig r(row.plugged);
        for (auto [a, v] : {std::pair{0, 0x0A}, {1, 0xFF}, {62, 0x12}, {63, 0x5E}, {0x10, 0x0C}})
            r.sim.setAfe(a, std::uint8_t(v));
        r.sim.setFpga(3, 0x7F);
        if (row.shortReply >= 0) r.sim.shortReplyAtTransfer(2, std::uint32_t(row.shortReply));
        EXPECT_EQ(row.run(r), row.result);
        Bytes sent = row.sent;
        sent.resize(64);
        EXPECT_EQ(r.sent(), row.sent.empty() ? Packets{} : Packets{sent});
        EXPECT_EQ(r.sink.codes, row.codes);
        for (const auto& t : r.sim.log())
            EXPECT_EQ(t.timeoutMs, 30000u);
    }
}

TEST(Board, OutOfRangeArgumentsAreRefusedBeforeSending) {
    const std::function<void(Board&)> refused[] = {
        [](Board& b) { b.ReadBurstI2C(0x4C, 0, 65); },
        [](Board& b) { b.ReadBurstI2C(0x4C, 256, 1); },
        [](Board& b) { b.ReadBurstI2C(-1, 0, 1); },
        [](Board& b) { b.WriteBurstI2C(0x4C, 0, 61, std::string(122, '0')); },
        [](Board& b) { b.WriteByte_AFE(0x100, 1); },
        [](Board& b) { b.WriteByte_FPGA(1, 300); },
        [](Board& b) { b.Write_PORTA(-1); },
        [](Board& b) { b.WriteByte_EEPROM(256, 0); },
    };
    Rig r;
    for (std::size_t i = 0; i < std::size(refused); ++i)
        EXPECT_THROW(refused[i](r.board), std::invalid_argument) << i;
    EXPECT_TRUE(r.sim.log().empty());
}
