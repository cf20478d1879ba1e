// Whole-register operations as the board sees them: each access, its order and its value.
#include <gtest/gtest.h>

#include <vector>

#include "korvic_api.h"
#include "trap_fixture.h"

namespace {

using korvic::test::Access;
using korvic::test::R;
using korvic::test::TrapFixture;
using korvic::test::W;
using Log = std::vector<Access>;

class WholeRegisters : public TrapFixture, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        TrapFixture::SetUp();
        g_byte_swap = GetParam();
        for (std::uint32_t off = 0; off < 512; off += 4)
            regs.set(off, 0x5A000000u | off);
    }
    // What the caller sees of the board word v.
    std::uint32_t seen(std::uint32_t v) const { return GetParam() ? __builtin_bswap32(v) : v; }
};

TEST_P(WholeRegisters, SingleWordReadsAreOneLoad) {
    struct Row {
        int (*read)(std::uint32_t *);
        std::uint32_t offset;
    } rows[] = {{read_diag_reg, 0x11C},
                {read_conf_reg, 0x118},
                {read_local_offset_reg, 0x120},
                {read_sync_offset_reg, 0x124}};
    for (const Row &r : rows) {
        regs.clear_log();
        std::uint32_t w = 0;
        EXPECT_EQ(r.read(&w), 0);
        EXPECT_EQ(regs.log(), (Log{R(r.offset, 0x5A000000u | r.offset)}));
        EXPECT_EQ(w, seen(0x5A000000u | r.offset));
    }
}

TEST_P(WholeRegisters, SingleWordWritesAreOneStore) {
    struct Row {
        int (*write)(const std::uint32_t *);
        std::uint32_t offset;
    } rows[] = {{write_hw_ctl_reg, 0xF8},
                {write_conf_reg, 0x118},
                {write_local_offset_reg, 0x120},
                {write_sync_offset_reg, 0x124}};
    for (const Row &r : rows) {
        regs.clear_log();
        const std::uint32_t w = 0x12345678;
        EXPECT_EQ(r.write(&w), 0);
        EXPECT_EQ(regs.log(), (Log{W(r.offset, seen(0x12345678))}));
    }
}

TEST_P(WholeRegisters, MultiWordReadsAscend) {
    std::uint32_t out[7] = {};
    read_preset_position_reg(out);
    read_signal_level_reg(out);
    Log expect;
    for (std::uint32_t off = 0x164; off <= 0x170; off += 4)
        expect.push_back(R(off, 0x5A000000u | off));
    for (std::uint32_t off = 0x198; off <= 0x1B0; off += 4)
        expect.push_back(R(off, 0x5A000000u | off));
    EXPECT_EQ(regs.log(), expect);
    EXPECT_EQ(out[6], seen(0x5A0001B0u));
}

TEST_P(WholeRegisters, PresetPositionWritesTheCallersWordsAsTheyAre) {
    const std::uint32_t in[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    write_preset_position_reg(in);
    EXPECT_EQ(regs.log(),
              (Log{W(0x164, in[0]), W(0x168, in[1]), W(0x16C, in[2]), W(0x170, in[3])}));
}

TEST_P(WholeRegisters, PositionFreezeIsThreeStrobesThenFourReads) {
    std::uint32_t out[4] = {};
    EXPECT_EQ(read_position_freeze_reg(out), 0);
    EXPECT_EQ(regs.log(), (Log{W(0xFC, 0xFF), W(0xFC, 0xFF), W(0xFC, 0xFF), R(0x108, 0x5A000108),
                               R(0x10C, 0x5A00010C), R(0x110, 0x5A000110), R(0x114, 0x5A000114)}));
    EXPECT_EQ(out[0], seen(0x5A000108u));
    EXPECT_EQ(out[3], seen(0x5A000114u));
}

TEST_P(WholeRegisters, FreezeTimeIsTheSnapshotStrobeOnly) {
    EXPECT_EQ(freeze_time(), 0);
    EXPECT_EQ(regs.log(), (Log{W(0xFC, 0xFFFFFFFF), W(0xFC, 0xFFFFFFFF), W(0xFC, 0xFFFFFFFF)}));
}

TEST_P(WholeRegisters, ByteSwapAndInterruptEnableMakeNoAccess) {
    byte_swap(0x01020304);
    enable_device_interrupts();
    EXPECT_TRUE(regs.log().empty());
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, WholeRegisters, ::testing::Values(0, 1),
                         [](const auto &info) { return info.param ? "swapped" : "native"; });

}  // namespace
