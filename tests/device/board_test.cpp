// The board command set: exact packet bytes, reply use and refusals, on the simulated board.
#include "device/board.h"
#include "device/sim_board.h"
#include "support/board_rig.h"
#include "support/recording_sink.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <tuple>

using namespace korva;
using korva::test::packet;
using korva::test::Packets;

namespace {

using Rig = test::BoardRig;

} // namespace

TEST(BurstRead, FrameAndText) {
    Rig r;
    r.sim.setAfe(0, 0x0A);
    r.sim.setAfe(1, 0xFF);
    const std::string text = r.board.ReadBurstI2C(0x4C, 0, 64);
    EXPECT_EQ(r.sent(), Packets{packet({0x03, 0x4C, 0x00, 0x40})});
    ASSERT_EQ(text.size(), 128u);
    EXPECT_EQ(text.substr(0, 4), "0AFF");
}

TEST(BurstRead, LengthZeroSendsAndReturnsEmpty) {
    Rig r;
    EXPECT_EQ(r.board.ReadBurstI2C(0x4C, 0x10, 0), "");
    EXPECT_EQ(r.sent(), Packets{packet({0x03, 0x4C, 0x10, 0x00})});
}

TEST(BurstRead, TooLongOrOutOfRangeIsRefusedBeforeSending) {
    Rig r;
    EXPECT_THROW(r.board.ReadBurstI2C(0x4C, 0, 65), std::invalid_argument);
    EXPECT_THROW(r.board.ReadBurstI2C(0x4C, 256, 1), std::invalid_argument);
    EXPECT_THROW(r.board.ReadBurstI2C(-1, 0, 1), std::invalid_argument);
    EXPECT_TRUE(r.sim.log().empty());
}

TEST(BurstWrite, PairsOfHexCharactersAndShortText) {
    Rig r;
    r.board.WriteBurstI2C(0x4C, 6, 3, "1A2B3C");
    r.board.WriteBurstI2C(0x4C, 6, 3, "1A2");
    EXPECT_EQ(r.sent(), (Packets{packet({0x04, 0x4C, 0x06, 0x03, 0x1A, 0x2B, 0x3C}),
                                 packet({0x04, 0x4C, 0x06, 0x03, 0x1A, 0x02, 0x00})}));
    EXPECT_EQ(r.sim.afe(6), 0x1A);
    EXPECT_EQ(r.sim.afe(7), 0x02);
    EXPECT_EQ(r.sim.afe(8), 0x00);
}

TEST(BurstWrite, MoreThanSixtyBytesIsRefused) {
    Rig r;
    EXPECT_THROW(r.board.WriteBurstI2C(0x4C, 0, 61, std::string(122, '0')), std::invalid_argument);
    EXPECT_NO_THROW(r.board.WriteBurstI2C(0x4C, 0, 60, std::string(120, '1')));
    ASSERT_EQ(r.sent().size(), 1u);
    EXPECT_EQ(r.sent()[0][63], 0x11);
}

TEST(SingleWrites, ExactPackets) {
    Rig r;
    r.board.WriteByte_AFE(0x05, 0x80);
    r.board.WriteByte_EEPROM(0, 0);
    r.board.WriteByte_FPGA(0x1B, 0x21);
    r.board.SQ7302Channel_Select(3);
    r.board.TM6185Channel_Select(2);
    r.board.Write_PORTA(0x0F);
    r.board.Write_PORTB(0xA5);
    r.board.Write_PORTE(0x01);
    EXPECT_EQ(r.sent(),
              (Packets{packet({0x23, 0x05, 0x80}), packet({0x80, 0x00, 0x00, 0x00}),
                       packet({0x2F, 0x1B, 0x21}), packet({0x25, 0x03}), packet({0x28, 0x02}),
                       packet({0x30, 0x0F}), packet({0x40, 0xA5}), packet({0x70, 0x01})}));
    EXPECT_EQ(r.sim.afe(5), 0x80);
    EXPECT_EQ(r.sim.fpga(0x1B), 0x21);
    EXPECT_EQ(r.sim.syncMode(), 3);
    EXPECT_EQ(r.sim.muxChannel(), 2);
    EXPECT_EQ(r.sim.port('B'), 0xA5);
    EXPECT_TRUE(r.sink.codes.empty());
}

TEST(SingleWrites, OutOfRangeArgumentsAreRefused) {
    Rig r;
    EXPECT_THROW(r.board.WriteByte_AFE(0x100, 1), std::invalid_argument);
    EXPECT_THROW(r.board.WriteByte_FPGA(1, 300), std::invalid_argument);
    EXPECT_THROW(r.board.Write_PORTA(-1), std::invalid_argument);
    EXPECT_THROW(r.board.WriteByte_EEPROM(256, 0), std::invalid_argument);
    EXPECT_TRUE(r.sim.log().empty());
}

TEST(ByteReads, DecimalTextAndFailure) {
    Rig r;
    r.sim.setFpga(3, 0x7F);
    EXPECT_EQ(r.board.ReadByte_FPGA(3), "127");
    EXPECT_EQ(r.board.ReadByte_AFE(0), "49"); // 0x31 at power-on
    EXPECT_EQ(r.sent(), (Packets{packet({0x2E, 0x03}), packet({0x22, 0x00})}));
    r.sim.unplug();
    EXPECT_EQ(r.board.ReadByte_FPGA(3), "0");
    EXPECT_FALSE(r.board.ReadFpga(3).has_value());
    EXPECT_EQ(r.board.ReadByte_AFE(0), "0");
    EXPECT_TRUE(r.sink.codes.empty());
}

TEST(ByteReads, UnclearedAfeReadShowsOpcodeWithoutBoard) {
    Rig r;
    r.sim.setAfe(0x10, 0x0C);
    EXPECT_EQ(r.board.ReadAfeUncleared(0x10), 0x0C);
    r.sim.unplug();
    EXPECT_EQ(r.board.ReadAfeUncleared(0x10), 0x22);
    EXPECT_TRUE(r.sink.codes.empty());
}

TEST(NoBoard, ReportingOperationsCallErrMsgZero) {
    Rig r(false);
    r.board.WriteByte_FPGA(0x1C, 0);
    EXPECT_EQ(r.sink.codes, std::vector<std::int16_t>{0});
    EXPECT_TRUE(r.sim.log().empty());
}

// A reply counts against what each operation reads of it: a burst of N bytes needs N, a
// single read 1, a write none.
TEST(ShortReplies, CountAgainstWhatEachOperationReads) {
    const std::tuple<std::function<void(Board&)>, std::uint32_t, std::vector<std::int16_t>>
        cases[] = {
            {[](Board& b) { b.ReadBurstI2C(0x4C, 0, 64); }, 63, {0}},
            {[](Board& b) { b.ReadBurstI2C(0x4C, 0x40, 2); }, 2, {}},
            {[](Board& b) { EXPECT_FALSE(b.ReadFpga(3)); }, 0, {}},
            {[](Board& b) { b.WriteByte_AFE(6, 0x80); }, 0, {}},
        };
    for (const auto& [operation, bytes, codes] : cases) {
        Rig r;
        r.sim.shortReplyAtTransfer(2, bytes);
        operation(r.board);
        EXPECT_EQ(r.sink.codes, codes) << bytes;
    }
}
