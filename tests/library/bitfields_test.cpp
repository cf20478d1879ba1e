// Bit fields on a plain memory window: which bits each selector reaches, what the value
// is reduced to, and that the rest of the word survives, with byte swapping off and on.
#include <gtest/gtest.h>

#include <cstdint>

#include "bitfields.h"
#include "korvic_api.h"
#include "memory_window.h"

namespace korvic::test {
namespace {

constexpr std::uint32_t kHwControl = 0xF8;
constexpr std::uint32_t kConfig = 0x118;
constexpr std::uint32_t kStatus = 0xFC;

enum class Writer { HwControl, Config };

struct WriteCase {
    const char *what;
    Writer writer;
    std::int32_t selector;
    std::int32_t value;
    std::uint32_t before;  // the register as byte_swap returns it
    std::uint32_t after;
    std::int32_t result;
};

// clang-format off
constexpr WriteCase kWrites[] = {
    {"hw sel 0 sets bit 24",            Writer::HwControl, 0, 1,     0x00000000, 0x01000000, 0},
    {"hw sel 1 value 3 sets bit 25",    Writer::HwControl, 1, 3,     0x12345678, 0x12345678 | 1u << 25, 0},
    {"hw sel 5 clears bit 29 only",     Writer::HwControl, 5, 0,     0xFFFFFFFF, 0xDFFFFFFF, 0},
    {"hw sel 5 value 2 clears bit 29",  Writer::HwControl, 5, 2,     0x20000000, 0x00000000, 0},
    {"hw sel 6 refused",                Writer::HwControl, 6, 1,     0x00000000, 0x00000000, 15},
    {"hw sel -1 refused",               Writer::HwControl, -1, 1,    0xA5A5A5A5, 0xA5A5A5A5, 15},
    {"conf sel 0 value 2 clears bit 31",Writer::Config,    0, 2,     0xFFFFFFFF, 0x7FFFFFFF, 0},
    {"conf sel 4 sets timer stop",      Writer::Config,    4, 1,     0x00000000, 0x08000000, 0},
    {"conf sel 5 sets preset load",     Writer::Config,    5, 1,     0x0000FFFF, 0x0400FFFF, 0},
    {"conf sel 8 sets bit 23",          Writer::Config,    8, 0xFF,  0x00000000, 0x00800000, 0},
    {"conf sel 9 value 0x1A",           Writer::Config,    9, 0x1A,  0xFFFFFFFF, 0xFFFAFFFF, 0},
    {"conf sel 9 value 0 keeps others", Writer::Config,    9, 0,     0x12345678, 0x12305678, 0},
    {"conf sel 10 value 0x1F7",         Writer::Config,    10, 0x1F7,0x00000000, 0x00000070, 0},
    {"conf sel 11 refused",             Writer::Config,    11, 1,    0x0F0F0F0F, 0x0F0F0F0F, 15},
    {"conf sel -1 refused",             Writer::Config,    -1, 1,    0x0F0F0F0F, 0x0F0F0F0F, 15},
};
// clang-format on

class BitFieldWrite : public MemoryWindow, public ::testing::WithParamInterface<bool> {};

TEST_P(BitFieldWrite, ChangesOnlyTheField) {
    g_byte_swap = GetParam() ? 1 : 0;
    for (const WriteCase &c : kWrites) {
        SCOPED_TRACE(c.what);
        const std::uint32_t offset = c.writer == Writer::HwControl ? kHwControl : kConfig;
        fill(0x5A5A5A5A);
        word(offset) = GetParam() ? reversed(c.before) : c.before;
        const std::int32_t result =
            c.writer == Writer::HwControl
                ? write_hw_ctl_reg_bitfield(c.selector, c.value)
                : write_conf_reg_bitfield(c.selector, static_cast<std::uint8_t>(c.value));
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(word(offset), GetParam() ? reversed(c.after) : c.after);
        for (std::uint32_t other = 0; other < regs::kWindowBytes; other += 4) {
            if (other != offset) {
                ASSERT_EQ(word(other), 0x5A5A5A5Au) << "offset " << other;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, BitFieldWrite, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "swapped" : "native"; });

struct ReadCase {
    const char *what;
    bool status;  // read_hw_stat_reg_bitfield, else read_conf_reg_bitfield
    std::int32_t selector;
    std::uint32_t word;  // as byte_swap returns it
    std::int32_t result;
};

// clang-format off
constexpr ReadCase kReads[] = {
    {"conf sel 0 is bit 31",           false, 0,  0x80000000, 1},
    {"conf sel 0 ignores the rest",    false, 0,  0x7FFFFFFF, 0},
    {"conf sel 5 is bit 26",           false, 5,  0x04000000, 1},
    {"conf sel 8 is bit 23",           false, 8,  0x00800000, 1},
    {"conf sel 8 not bit 22",          false, 8,  0xFF7FFFFF, 0},
    {"conf sel 9 is bits 19-16",       false, 9,  0x000A0000, 0xA},
    {"conf sel 9 all set",             false, 9,  0x000F0000, 15},
    {"conf sel 10 is bits 7-4",        false, 10, 0xFFFFFF5F, 5},
    {"conf sel 11 refused",            false, 11, 0x00000000, 15},
    {"conf sel -1 refused",            false, -1, 0xFFFFFFFF, 15},
    {"stat sel 0 is bit 13",           true,  0,  0x00002000, 1},
    {"stat sel 1 is bit 12",           true,  1,  0x00001000, 1},
    {"stat sel 2 is bit 10",           true,  2,  0x00000400, 1},
    {"stat sel 2 is not bit 11",       true,  2,  0xFFFFFBFF, 0},
    {"stat sel 3 is bit 9",            true,  3,  0x00000200, 1},
    {"stat sel 4 is bit 8",            true,  4,  0x00000100, 1},
    {"stat sel 5 refused",             true,  5,  0x00000000, 15},
    {"stat sel INT32_MIN refused",     true,  INT32_MIN, 0x00000000, 15},
};
// clang-format on

class BitFieldRead : public MemoryWindow, public ::testing::WithParamInterface<bool> {};

TEST_P(BitFieldRead, ReturnsTheField) {
    g_byte_swap = GetParam() ? -1 : 0;
    for (const ReadCase &c : kReads) {
        SCOPED_TRACE(c.what);
        const std::uint32_t offset = c.status ? kStatus : kConfig;
        word(offset) = GetParam() ? reversed(c.word) : c.word;
        EXPECT_EQ(
            c.status ? read_hw_stat_reg_bitfield(c.selector) : read_conf_reg_bitfield(c.selector),
            c.result);
        EXPECT_EQ(word(offset), GetParam() ? reversed(c.word) : c.word) << "a reader wrote";
    }
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, BitFieldRead, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "swapped" : "native"; });

// With swapping on, the converted word's bit 24 lies in the window's least significant
// byte, and the configuration register's bit 31 in bit 7 of it.
TEST_F(MemoryWindow, SwappedSelectorZeroIsLowByteOfTheWindowWord) {
    g_byte_swap = 1;
    word(kHwControl) = 0;
    ASSERT_EQ(write_hw_ctl_reg_bitfield(0, 1), 0);
    EXPECT_EQ(word(kHwControl), 0x00000001u);
    word(kConfig) = 0;
    ASSERT_EQ(write_conf_reg_bitfield(0, 1), 0);
    EXPECT_EQ(word(kConfig), 0x00000080u);
    EXPECT_EQ(read_conf_reg_bitfield(0), 1);
}

}  // namespace
}  // namespace korvic::test
