// Bit fields as the board sees them: one load first whatever the selector, at most one
// store, and the store carries every other bit as loaded.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "korvic_api.h"
#include "trap_fixture.h"

namespace {

using korvic::test::Access;
using korvic::test::R;
using korvic::test::TrapFixture;
using korvic::test::W;
using Log = std::vector<Access>;

constexpr std::uint32_t kHwControl = 0xF8;
constexpr std::uint32_t kStatus = 0xFC;
constexpr std::uint32_t kConfig = 0x118;
constexpr std::uint32_t kBoardWord = 0x5A3C0F81;  // every byte different, as the board holds it

class BitFieldBus : public TrapFixture, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        TrapFixture::SetUp();
        g_byte_swap = GetParam() ? 1 : 0;
        for (std::uint32_t off : {kHwControl, kStatus, kConfig})
            regs.set(off, kBoardWord);
    }
    // Between the caller's view and the bus.
    std::uint32_t conv(std::uint32_t v) const { return GetParam() ? __builtin_bswap32(v) : v; }
};

TEST_P(BitFieldBus, WritersLoadOnceAndStoreOnce) {
    const std::uint32_t seen = conv(kBoardWord);
    struct Row {
        const char *what;
        std::int32_t (*write)(std::int32_t, std::int32_t);
        std::int32_t selector, value;
        std::uint32_t offset;
        std::uint32_t after;  // caller's view
    } const rows[] = {
        {"hw control sel 1",
         [](std::int32_t s, std::int32_t v) { return write_hw_ctl_reg_bitfield(s, v); }, 1, 3,
         kHwControl, seen | 1u << 25},
        {"hw control sel 0 clear",
         [](std::int32_t s, std::int32_t v) { return write_hw_ctl_reg_bitfield(s, v); }, 0, 0,
         kHwControl, seen & ~(1u << 24)},
        {"conf sel 5",
         [](std::int32_t s, std::int32_t v) {
             return write_conf_reg_bitfield(s, static_cast<std::uint8_t>(v));
         },
         5, 1, kConfig, seen | 1u << 26},
        {"conf sel 9",
         [](std::int32_t s, std::int32_t v) {
             return write_conf_reg_bitfield(s, static_cast<std::uint8_t>(v));
         },
         9, 0x1A, kConfig, (seen & ~0x000F0000u) | 0x000A0000u},
        {"conf sel 10",
         [](std::int32_t s, std::int32_t v) {
             return write_conf_reg_bitfield(s, static_cast<std::uint8_t>(v));
         },
         10, 0x1F7, kConfig, (seen & ~0xF0u) | 0x70u},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        regs.set(r.offset, kBoardWord);
        regs.clear_log();
        EXPECT_EQ(r.write(r.selector, r.value), 0);
        EXPECT_EQ(regs.log(), (Log{R(r.offset, kBoardWord), W(r.offset, conv(r.after))}));
    }
}

// A selector out of range: the load still happens, nothing is stored, 15 is returned.
TEST_P(BitFieldBus, OutOfRangeSelectorsLoadAndStoreNothing) {
    for (std::int32_t sel : {6, -1, INT32_MIN}) {
        regs.clear_log();
        EXPECT_EQ(write_hw_ctl_reg_bitfield(sel, 1), 15);
        EXPECT_EQ(regs.log(), (Log{R(kHwControl, kBoardWord)}));
    }
    for (std::int32_t sel : {11, -1, 1000}) {
        regs.clear_log();
        EXPECT_EQ(write_conf_reg_bitfield(sel, 1), 15);
        EXPECT_EQ(regs.log(), (Log{R(kConfig, kBoardWord)}));
        regs.clear_log();
        EXPECT_EQ(read_conf_reg_bitfield(sel), 15);
        EXPECT_EQ(regs.log(), (Log{R(kConfig, kBoardWord)}));
    }
    for (std::int32_t sel : {5, -1}) {
        regs.clear_log();
        EXPECT_EQ(read_hw_stat_reg_bitfield(sel), 15);
        EXPECT_EQ(regs.log(), (Log{R(kStatus, kBoardWord)}));
    }
}

// The readers make one load and no strobe.
TEST_P(BitFieldBus, ReadersLoadOnce) {
    const std::uint32_t seen = conv(kBoardWord);
    for (std::int32_t sel = 0; sel <= 10; ++sel) {
        regs.clear_log();
        const std::int32_t v = read_conf_reg_bitfield(sel);
        EXPECT_EQ(regs.log(), (Log{R(kConfig, kBoardWord)}));
        const std::uint32_t want = sel <= 8   ? (seen >> (31 - sel)) & 1u
                                   : sel == 9 ? (seen >> 16) & 0xFu
                                              : (seen >> 4) & 0xFu;
        EXPECT_EQ(static_cast<std::uint32_t>(v), want) << "selector " << sel;
    }
    const int bits[] = {13, 12, 10, 9, 8};
    for (std::int32_t sel = 0; sel <= 4; ++sel) {
        regs.clear_log();
        EXPECT_EQ(static_cast<std::uint32_t>(read_hw_stat_reg_bitfield(sel)),
                  (seen >> bits[sel]) & 1u);
        EXPECT_EQ(regs.log(), (Log{R(kStatus, kBoardWord)}));
    }
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, BitFieldBus, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "swapped" : "native"; });

}  // namespace
