// The command exchange and the board command set on the simulated board: the exact packet
// bytes, the replies, the three checking styles, refusals, attach and detach.
#include "device/textnum.h"
#include "support/board_rig.h"
#include "support/hex_packets.h"

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
// then on the link sends nothing more. A board without pipes besides 0 is refused.
TEST(Exchange, FailuresAreReportedInTheirStyleWithTheirCause) {
    using enum CheckStyle;
    using Fault = std::function<void(SimBoard&)>;
    const auto code = ErrorCodeForStatus;
    const std::string reply = "op: reading the reply: ",
                      cut = "op: short reply: the board answered with ";
    // clang-format off
    const std::tuple<CheckStyle, Fault, std::int16_t, std::string, std::size_t> cases[] = {
        {ReportedWithStatus, [](SimBoard& b) { b.unplug(); }, 0, "", 0},
        {ReportedAsNotFound, [](SimBoard& b) { b.unplug(); }, 0, "", 0},
        {ReportedWithStatus, [](SimBoard& b) { b.failTransfer(1, status::Pipe); }, code(status::Pipe), "op: sending the command: LIBUSB_ERROR_PIPE: Pipe error", 1},
        {ReportedAsNotFound, [](SimBoard& b) { b.timeOutTransfer(2); }, 0, reply + "LIBUSB_ERROR_TIMEOUT: Operation timed out", 2},
        {ReportedAsNotFound, [](SimBoard& b) { b.shortReplyAtTransfer(2, 2); }, 0, cut + "2 bytes; the operation reads 64", 2},
        {ReportedWithStatus, [](SimBoard& b) { b.shortReplyAtTransfer(2, 63); }, code(status::Io), cut + "63 bytes; the operation reads 64", 2},
        {ReportedWithStatus, [](SimBoard& b) { b.unplugAtTransfer(2); }, code(status::NoDevice),
         reply + "LIBUSB_ERROR_NO_DEVICE: No such device (it may have been disconnected)", 2},
    };
    // clang-format on
    for (const auto& [style, fault, code, detail, transfers] : cases) {
        SCOPED_TRACE(detail);
        Rig r;
        fault(r.sim);
        EXPECT_FALSE(r.link.ExchangeCommand({0x03, 0x4C, 0x00, 0x40}, style, true, {64, "op"}).ok);
        EXPECT_EQ(r.link.lastFailure() ? Describe(*r.link.lastFailure()) : "", detail);
        EXPECT_EQ(r.ctx.handle.load() != 0, r.sim.plugged());
        r.sim.plug();
        r.link.ExchangeCommand({0x23, 0x05, 0x80}, ReportedWithStatus); // the link stays shut
        EXPECT_EQ(std::tuple(r.sim.log().size(), r.sink.codes), std::tuple(transfers, Codes{code}));
    }
    EXPECT_TRUE(code(0) == 0 && code(0x10000) != 0 &&
                code(status::NoDevice) != code(status::Timeout));
}

// Each exchange goes through whole or fails cleanly; the board ends attached.
TEST(AttachDetach, PluggingFromAnotherThreadWhileExchanging) {
    Rig r;
    std::atomic<bool> stop{false};
    std::thread plugger([&] {
        while (!stop)
            r.sim.unplug(), r.sim.plug();
    });
    for (int i = 0; i < 5000; ++i)
        r.link.ExchangeCommand({0x2E, 0x01}, CheckStyle::NotReported, true);
    stop = true;
    plugger.join();
    EXPECT_EQ(std::tuple(r.sink.codes.size(), r.ctx.handle.load() != 0,
                         r.link.ExchangeCommand({0x2E, 0x01}, CheckStyle::NotReported, true).ok),
              std::tuple(0u, true, true));
}

// Every command: the packet it sends (zeros after its bytes; the reply read into the same
// buffer), what it returns or leaves on the board, what it reports. Without a board reads give 0
// (the uncleared one its opcode) unless reporting. A short reply counts against what the operation
// reads: a burst of N bytes needs N, a single read 1, a write none.
TEST(Board, CommandsSendExactPacketsAndUseTheirReplies) {
    // clang-format off
    const auto afe = [](Rig& r, int a, int n = 1) { std::string s; while (n--) s += HexByte(r.sim.afe(a++)); return s; };
    // A write's result says whether the link is still up: "down" when it is not.
    const auto after = [](bool up, const std::function<std::string()>& then) { return (up ? "" : "down") + then(); };
    const auto refused = [](void (*f)(Board&)) { return [f](Rig& r) -> std::string { try { f(r.board); } catch (const std::invalid_argument&) { return "refused"; } return "sent"; }; };
    const struct {
        std::string sent; // the leading bytes of the one packet sent, if any
        std::string result;
        std::function<std::string(Rig&)> run;
        bool plugged = true;
        int shortReply = -1; // the length of the reply, when short
        Codes codes = {};
    } rows[] = {
        {"034C0040", "0AFF125E", [](Rig& r) { return r.board.ReadBurstI2C(0x4C, 0, 64).erase(4, 120); }},
        {"034C1000", "", [](Rig& r) { return r.board.ReadBurstI2C(0x4C, 0x10, 0); }},
        {"044C06031A2B3C", "1A2B3C", [&](Rig& r) { return after(r.board.WriteBurstI2C(0x4C, 6, 3, "1A2B3C"), [&] { return afe(r, 6, 3); }); }},
        {"044C06031A0200", "1A0200", [&](Rig& r) { return after(r.board.WriteBurstI2C(0x4C, 6, 3, "1A2"), [&] { return afe(r, 6, 3); }); }},
        {"044C003C" + std::string(120, '1'), "11", [&](Rig& r) { return after(r.board.WriteBurstI2C(0x4C, 0, 60, std::string(120, '1')), [&] { return afe(r, 59); }); }},
        {"230580", "80", [&](Rig& r) { return after(r.board.WriteByte_AFE(5, 0x80), [&] { return afe(r, 5); }); }},
        {"80000000", "", [&](Rig& r) { return after(r.board.WriteByte_EEPROM(0, 0), [&] { return ""; }); }},
        {"2F1B21", "21", [&](Rig& r) { return after(r.board.WriteByte_FPGA(0x1B, 0x21), [&] { return HexByte(r.sim.fpga(0x1B)); }); }},
        {"2503", "03", [&](Rig& r) { return after(r.board.SQ7302Channel_Select(3), [&] { return HexByte(*r.sim.syncMode()); }); }},
        {"2802", "02", [&](Rig& r) { return after(r.board.TM6185Channel_Select(2), [&] { return HexByte(*r.sim.muxChannel()); }); }},
        {"300F", "0F", [&](Rig& r) { return after(r.board.Write_PORTA(0x0F), [&] { return HexByte(r.sim.port('A')); }); }},
        {"40A5", "A5", [&](Rig& r) { return after(r.board.Write_PORTB(0xA5), [&] { return HexByte(r.sim.port('B')); }); }},
        {"7001", "01", [&](Rig& r) { return after(r.board.Write_PORTE(0x01), [&] { return HexByte(r.sim.port('E')); }); }},
        {"2E03", "127", [](Rig& r) { return r.board.ReadByte_FPGA(3); }},
        {"2200", "10", [](Rig& r) { return r.board.ReadByte_AFE(0); }},
        {"2210", "0C", [](Rig& r) { return HexByte(r.board.ReadAfeUncleared(0x10)); }},
        {"", "00", [](Rig& r) { return r.board.ReadByte_FPGA(3) + r.board.ReadByte_AFE(0); }, false},
        {"", "0", [](Rig& r) { return std::to_string(r.board.ReadFpga(3).has_value()); }, false},
        {"", "22", [](Rig& r) { return HexByte(r.board.ReadAfeUncleared(0x10)); }, false},
        {"", "down", [&](Rig& r) { return after(r.board.WriteByte_FPGA(0x1C, 0), [&] { return ""; }); }, false, -1, {0}},
        {"034C0040", "", [](Rig& r) { return r.board.ReadBurstI2C(0x4C, 0, 64), ""; }, true, 63, {0}},
        {"034C4002", "1C00", [](Rig& r) { return r.board.ReadBurstI2C(0x4C, 0x40, 2); }, true, 2},
        {"2E03", "0", [](Rig& r) { return std::to_string(r.board.ReadFpga(3).has_value()); }, true, 0},
        {"230680", "80", [&](Rig& r) { return after(r.board.WriteByte_AFE(6, 0x80), [&] { return afe(r, 6); }); }, true, 0},
        // Out-of-range arguments are refused before anything is sent; a pipe write goes whole.
        {"", "refused", refused([](Board& b) { b.ReadBurstI2C(0x4C, 0, 65); })}, {"", "refused", refused([](Board& b) { b.ReadBurstI2C(0x4C, 256, 1); })},
        {"", "refused", refused([](Board& b) { b.ReadBurstI2C(-1, 0, 1); })}, {"", "refused", refused([](Board& b) { (void)b.WriteByte_AFE(0x100, 1); })},
        {"", "refused", refused([](Board& b) { (void)b.WriteByte_FPGA(1, 300); })}, {"", "refused", refused([](Board& b) { (void)b.Write_PORTA(-1); })},
        {"", "refused", refused([](Board& b) { (void)b.WriteBurstI2C(0x4C, 0, 61, std::string(122, '0')); })}, {"", "refused", refused([](Board& b) { (void)b.WriteByte_EEPROM(256, 0); })},
        {"", "1 05 ABAB", [](Rig& r) { PipeTransferRecord p{.pipeNumber = 5, .buffer = Bytes(64, 0xAB), .bufferSize = 64}; r.link.WritePipe(p);
             const auto l = r.sim.log(); return std::to_string(l.size()) + " " + HexByte(l[0].pipe) + " " + HexByte(l[0].data[0]) + HexByte(l[0].data[63]); }},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE("row " + std::to_string(&row - rows));
        Rig r(row.plugged);
        for (auto [a, v] : {std::pair{0, 0x0A}, {1, 0xFF}, {62, 0x12}, {63, 0x5E}, {0x10, 0x0C}})
            r.sim.setAfe(a, std::uint8_t(v));
        r.sim.setFpga(3, 0x7F);
        if (row.shortReply >= 0) r.sim.shortReplyAtTransfer(2, std::uint32_t(row.shortReply));
        EXPECT_EQ(row.run(r), row.result);
        EXPECT_EQ(std::tuple(r.sent(), r.sink.codes), std::tuple(hexPackets(row.sent), row.codes));
        for (const auto& t : r.sim.log())
            EXPECT_EQ(t.timeoutMs, 30000u);
    }
}
