// byte_swap and the whole-register operations on a regular file mapped as the register
// window: the right words, swapped or not as the register map says, nothing else touched.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "korvic_api.h"
#include "scratch_dir.h"

namespace {

using korvic::test::ScratchDir;

TEST(ByteSwap, ReversesBytesWhenOnAndIsItsOwnInverse) {
    const std::int32_t saved = g_byte_swap;
    for (std::int32_t flag : {0, 1, 2, -1, INT32_MIN}) {
        g_byte_swap = flag;
        const std::uint32_t expect = flag != 0 ? 0x04030201u : 0x01020304u;
        EXPECT_EQ(byte_swap(0x01020304u), expect) << flag;
        for (std::uint32_t w : {0u, 0xFFFFFFFFu, 0x01020304u, 0x80000001u, 0x00FF00FFu})
            EXPECT_EQ(byte_swap(byte_swap(w)), w) << flag;
    }
    g_byte_swap = 1;
    EXPECT_EQ(byte_swap(0xAABBCCDDu), 0xDDCCBBAAu);
    EXPECT_EQ(byte_swap(0x000000FFu), 0xFF000000u);
    g_byte_swap = saved;
}

// Every word of the window starts as a distinct pattern so a stray access shows.
constexpr std::uint32_t pattern(std::uint32_t offset) {
    return 0xA5000000u | offset;
}

class Window : public ::testing::Test {
  protected:
    void SetUp() override {
        std::vector<std::uint32_t> words(128);
        for (std::uint32_t i = 0; i < 128; ++i)
            words[i] = pattern(4 * i);
        dir_.write_device("regs", 512, words);
        dir_.write_config("MEM_PATH=regs\n");
        g_byte_swap = 0;
        ASSERT_EQ(init_847(), 0);
    }
    void TearDown() override {
        close_847();
        g_byte_swap = 0;
    }
    std::uint32_t word(std::uint32_t offset) const { return base_addr[offset / 4]; }
    void set(std::uint32_t offset, std::uint32_t v) { base_addr[offset / 4] = v; }
    // Every word outside [first, first + 4 * count) still holds its pattern.
    void expect_untouched_except(std::uint32_t first, std::uint32_t count) const {
        for (std::uint32_t off = 0; off < 512; off += 4) {
            if (off >= first && off < first + 4 * count)
                continue;
            EXPECT_EQ(word(off), pattern(off)) << "offset " << off;
        }
    }
    ScratchDir dir_;
};

struct SingleWord {
    const char *name;
    int (*read)(std::uint32_t *);
    int (*write)(const std::uint32_t *);
    std::uint32_t offset;
};

const SingleWord kSingleWords[] = {
    {"diag", read_diag_reg, nullptr, 0x11C},
    {"hw_ctl", nullptr, write_hw_ctl_reg, 0xF8},
    {"conf", read_conf_reg, write_conf_reg, 0x118},
    {"local_offset", read_local_offset_reg, write_local_offset_reg, 0x120},
    {"sync_offset", read_sync_offset_reg, write_sync_offset_reg, 0x124},
};

TEST_F(Window, SingleWordRegistersSwapBothWays) {
    for (std::int32_t swap : {0, 1}) {
        for (const SingleWord &r : kSingleWords) {
            SCOPED_TRACE(std::string(r.name) + (swap ? " swapped" : " native"));
            g_byte_swap = swap;
            const std::uint32_t as_seen = swap ? 0x44332211u : 0x11223344u;
            if (r.read != nullptr) {
                set(r.offset, 0x11223344u);
                std::uint32_t w = 0;
                EXPECT_EQ(r.read(&w), 0);
                EXPECT_EQ(w, as_seen);
            }
            if (r.write != nullptr) {
                const std::uint32_t w = 0x11223344u;
                EXPECT_EQ(r.write(&w), 0);
                EXPECT_EQ(word(r.offset), as_seen);
            }
            if (r.read != nullptr && r.write != nullptr) {  // a round trip in either order
                const std::uint32_t out = 0xDEADBEEFu;
                std::uint32_t back = 0;
                r.write(&out);
                r.read(&back);
                EXPECT_EQ(back, out);
            }
            set(r.offset, pattern(r.offset));
            expect_untouched_except(0, 0);
        }
    }
}

TEST_F(Window, MultiWordReadsFillExactlyTheirWords) {
    struct Row {
        const char *name;
        int (*read)(std::uint32_t *);
        std::uint32_t offset, words;
    } rows[] = {
        {"preset position", read_preset_position_reg, 0x164, 4},
        {"signal level", read_signal_level_reg, 0x198, 7},
    };
    for (std::int32_t swap : {0, 1}) {
        g_byte_swap = swap;
        for (const Row &r : rows) {
            SCOPED_TRACE(r.name);
            std::array<std::uint32_t, 9> out;
            out.fill(0x0BADCAFE);
            EXPECT_EQ(r.read(out.data()), 0);
            for (std::uint32_t i = 0; i < r.words; ++i)
                EXPECT_EQ(out[i],
                          swap ? byte_swap(pattern(r.offset + 4 * i)) : pattern(r.offset + 4 * i));
            for (std::uint32_t i = r.words; i < out.size(); ++i)
                EXPECT_EQ(out[i], 0x0BADCAFEu);
            expect_untouched_except(0, 0);
        }
    }
}

TEST_F(Window, PresetPositionIsWrittenUnswapped) {
    const std::uint32_t in[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    for (std::int32_t swap : {0, 1}) {
        g_byte_swap = swap;
        EXPECT_EQ(write_preset_position_reg(in), 0);
        for (std::uint32_t i = 0; i < 4; ++i)
            EXPECT_EQ(word(0x164 + 4 * i), in[i]);
        std::uint32_t back[4] = {};
        read_preset_position_reg(back);
        for (std::uint32_t i = 0; i < 4; ++i)
            EXPECT_EQ(back[i], swap ? byte_swap(in[i]) : in[i]) << "swap " << swap;
        expect_untouched_except(0x164, 4);
    }
}

TEST_F(Window, PositionFreezeStrobesThenReadsFourWords) {
    for (std::int32_t swap : {0, 1}) {
        g_byte_swap = swap;
        set(0xFC, 0);
        std::uint32_t out[5] = {0, 0, 0, 0, 0x0BADCAFE};
        EXPECT_EQ(read_position_freeze_reg(out), 0);
        EXPECT_EQ(word(0xFC), 0x000000FFu) << "strobe value does not depend on byte order";
        for (std::uint32_t i = 0; i < 4; ++i)
            EXPECT_EQ(out[i], swap ? byte_swap(pattern(0x108 + 4 * i)) : pattern(0x108 + 4 * i));
        EXPECT_EQ(out[4], 0x0BADCAFEu);
        expect_untouched_except(0xFC, 1);
    }
}

TEST_F(Window, FreezeTimeWritesOnlyTheSnapshotStrobe) {
    EXPECT_EQ(freeze_time(), 0);
    EXPECT_EQ(word(0xFC), 0xFFFFFFFFu);
    expect_untouched_except(0xFC, 1);
}

TEST_F(Window, EnableDeviceInterruptsTouchesNothing) {
    EXPECT_EQ(enable_device_interrupts(), 0);
    expect_untouched_except(0, 0);
}

}  // namespace
